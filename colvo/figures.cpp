// colvo's own figures: the running totals and their line for the live
// socket's readers.
#include "figures.h"

#include <cstdio>

uint64_t colvo_figures[FIGURE_COUNT];

int figures_line(char *buffer, int size, time_t now)
{
    int used = snprintf(buffer, static_cast<size_t>(size), "%s%lld;", FIGURES_START,
                        static_cast<long long>(now));
    for (const figure_row &r : FIGURE_ROWS) {
        if (used >= size - 1)
            break;
        used += snprintf(buffer + used, static_cast<size_t>(size - used), "%s=%llu;", r.key,
                         static_cast<unsigned long long>(colvo_figures[r.id]));
    }
    // The table's keys and twenty digits each fit; a cut line still ends.
    if (used > size - 2)
        used = size - 2;
    buffer[used++] = '\n';
    buffer[used] = '\0';
    return used;
}
