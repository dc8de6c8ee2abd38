// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The ncurses side of colvo-top. Keys: q quits; arrows or j/k move the
// selection; Enter shows every stream of the selected host, and Enter,
// Escape, Backspace or the left arrow go back.
#include "top_screen.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <curses.h>

#include "top_view.h"
#include "types.h"

enum { PAIR_SILENT = 1, ESCAPE = 27, ESCAPE_DELAY_MS = 25 };

void screen_start()
{
    initscr();
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(ESCAPE_DELAY_MS);
    curs_set(0);
    if (has_colors()) {
        start_color();
        use_default_colors();
        init_pair(PAIR_SILENT, COLOR_RED, -1);
    }
}

void screen_stop()
{
    endwin();
}

static int selected_index(const top_screen *s, const top_table *t)
{
    for (int i = 0; i < t->count; i++)
        if (strcmp(t->hosts[i].name, s->selected) == 0)
            return i;
    return 0;
}

static void select_index(top_screen *s, const top_table *t, int i)
{
    if (t->count == 0)
        return;
    i = i < 0 ? 0 : i >= t->count ? t->count - 1 : i;
    snprintf(s->selected, sizeof(s->selected), "%s", t->hosts[i].name);
}

int screen_key(top_screen *s, const top_table *t, int key)
{
    int at = selected_index(s, t);
    switch (key) {
    case 'q':
    case 'Q':
        return 0;
    case KEY_UP:
    case 'k':
        select_index(s, t, at - 1);
        break;
    case KEY_DOWN:
    case 'j':
        select_index(s, t, at + 1);
        break;
    case '\n':
    case '\r':
    case KEY_ENTER:
        s->detail = !s->detail && t->count > 0;
        break;
    case ESCAPE:
    case KEY_BACKSPACE:
    case KEY_LEFT:
    case 127:
        s->detail = 0;
        break;
    default:
        break;
    }
    return 1;
}

static const char HEADER[] = "  %-*s %5s %6s %-16s %7s %8s %8s %8s  %s";
static const char ROW[] = "%c %-*s %5s %6s %-16.16s %7s %8s %8s %8s  %s";

static int host_width(const top_table *t)
{
    int width = 4;
    for (int i = 0; i < t->count; i++)
        width = std::max(width, static_cast<int>(strlen(t->hosts[i].name)));
    return width;
}

static void draw_table(const top_screen *s, const top_table *t, double now)
{
    int width = host_width(t);
    attron(A_BOLD);
    mvprintw(0, 0, HEADER, width, "HOST", "AGE", "LOAD", "CPU%", "MEM", "IN b/s", "OUT b/s",
             "DISK o/s", "FULLEST FS");
    attroff(A_BOLD);
    int at = selected_index(s, t);
    // Keep the selection on screen.
    int rows = LINES - 2;
    int first = at >= rows ? at - rows + 1 : 0;
    for (int i = first; i < t->count && i - first < rows; i++) {
        top_row r;
        top_row_fill(&r, &t->hosts[i], now);
        int attr = (i == at ? A_REVERSE : 0) |
                   (r.silent && has_colors() ? COLOR_PAIR(PAIR_SILENT) : 0) |
                   (r.silent ? A_BOLD : 0);
        attron(attr);
        mvprintw(1 + i - first, 0, ROW, r.silent ? '!' : ' ', width, t->hosts[i].name, r.age,
                 r.load, r.cpu, r.mem, r.in, r.out, r.ops, r.fs);
        attroff(attr);
    }
}

// Every stream of the host: its name, then "name value" cells flowing
// over the width of the screen.
static void draw_detail(const top_screen *s, const top_table *t, double now)
{
    const top_host *h = &t->hosts[selected_index(s, t)];
    top_row r;
    top_row_fill(&r, h, now);
    attron(A_BOLD);
    mvprintw(0, 0, "%s  last line %s ago%s", h->name, r.age, r.silent ? "  SILENT" : "");
    attroff(A_BOLD);
    int y = 1;
    for (int i = 0; i < h->series_count && y < LINES - 1; i++) {
        const top_series *series = &h->series[i];
        char label[2 * TOP_NAME_TEXT];
        if (series->argument[0])
            snprintf(label, sizeof(label), "%s(%s)", stream_type_name(series->type),
                     series->argument);
        else
            snprintf(label, sizeof(label), "%s", stream_type_name(series->type));
        attron(A_BOLD);
        mvprintw(y++, 0, "%s", label);
        attroff(A_BOLD);
        int x = 2;
        for (int v = 0; v < series->count && y < LINES - 1; v++) {
            char name[32], value[32], cell[72];
            top_value_text(series, v, name, sizeof(name), value, sizeof(value));
            int n = snprintf(cell, sizeof(cell), "%s %s", name, value);
            if (x > 2 && x + n > COLS) {
                y++;
                x = 2;
            }
            if (y < LINES - 1)
                mvprintw(y, x, "%s", cell);
            x += n + 3;
        }
        y++;
    }
}

void screen_draw(top_screen *s, const top_table *t, double now, const char *status)
{
    erase();
    if (s->detail && t->count > 0)
        draw_detail(s, t, now);
    else
        draw_table(s, t, now);
    attron(A_DIM);
    mvprintw(LINES - 1, 0, "%.*s", COLS > 0 ? COLS - 1 : 0, status);
    attroff(A_DIM);
    refresh();
}
