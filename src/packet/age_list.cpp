// AGELIST: the newest-first list of a NAT table or integer set, and its
// expiry cursor.
#include "packet/age_list.h"

void al_push(AGELIST *l, AGELINK *e)
{
    e->prev = nullptr;
    e->next = l->head;
    if (l->head != nullptr)
        l->head->prev = e;
    else
        l->tail = e;
    l->head = e;
}

void al_unlink(AGELIST *l, AGELINK *e)
{
    if (l->cursor == e)
        l->cursor = e->next;
    if (e->prev != nullptr)
        e->prev->next = e->next;
    else
        l->head = e->next;
    if (e->next != nullptr)
        e->next->prev = e->prev;
    else
        l->tail = e->prev;
    e->prev = e->next = nullptr;
}

AGELINK *al_step(AGELIST *l)
{
    AGELINK *e = l->cursor != nullptr ? l->cursor : l->head;
    if (e != nullptr)
        l->cursor = e->next;
    return e;
}
