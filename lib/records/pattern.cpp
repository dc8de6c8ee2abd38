// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "pattern.h"

#include <fnmatch.h>

#include "xmalloc.h"

stream_pattern *pattern_new(int type)
{
    stream_pattern *p = xnew_record<stream_pattern>();
    p->type = type;
    return p;
}

void pattern_exclude(stream_pattern *p, const char *glob)
{
    p->exclusions = static_cast<char **>(
        xrealloc(p->exclusions, static_cast<size_t>(p->exclusion_count + 1) * sizeof(char *)));
    p->exclusions[p->exclusion_count++] = xstrdup(glob);
}

int pattern_list_add(pattern_list *list, stream_pattern *p)
{
    if (pattern_list_of_type(list, p->type))
        return 0;
    p->next = list->first;
    list->first = p;
    return 1;
}

int pattern_takes(const stream_pattern *p, int type, const char *argument)
{
    if (p->type != type && p->type != PATTERN_ALL_TYPES)
        return 0;
    for (int i = 0; i < p->exclusion_count; i++)
        if (fnmatch(p->exclusions[i], argument, 0) == 0)
            return 0;
    return 1;
}

const stream_pattern *pattern_list_find(const pattern_list *list, int type, const char *argument)
{
    for (const stream_pattern *p = list->first; p; p = p->next)
        if (pattern_takes(p, type, argument))
            return p;
    return nullptr;
}

const stream_pattern *pattern_list_of_type(const pattern_list *list, int type)
{
    for (const stream_pattern *p = list->first; p; p = p->next)
        if (p->type == type)
            return p;
    return nullptr;
}

void pattern_free(stream_pattern *p)
{
    if (p == nullptr)
        return;
    for (int i = 0; i < p->exclusion_count; i++)
        xfree(p->exclusions[i]);
    xfree(p->exclusions);
    xfree(p);
}

void pattern_list_free(pattern_list *list)
{
    stream_pattern *next;
    for (stream_pattern *p = list->first; p; p = next) {
        next = p->next;
        pattern_free(p);
    }
    list->first = nullptr;
}
