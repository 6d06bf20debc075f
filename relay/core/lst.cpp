#include "relay/core/lst.h"

static LstElem* E(void* p) { return static_cast<LstElem*>(p); }

Lst* lstInit(Lst* list) {
    if (!list) return nullptr;
    list->count = 0;
    list->first = list->last = nullptr;
    return list;
}

Lst* lstAdd(Lst* list, void* elem) {
    if (!list || !elem) return list;
    LstElem* e = E(elem);
    e->next = nullptr;
    e->prev = E(list->last);
    if (list->last) E(list->last)->next = e; else list->first = e;
    list->last = e;
    list->count++;
    return list;
}

Lst* lstInsert(Lst* list, void* after, void* elem) {
    if (!list || !elem || after == elem) return list;
    LstElem* e = E(elem);
    if (!after) {
        e->prev = nullptr;
        e->next = E(list->first);
        if (list->first) E(list->first)->prev = e; else list->last = e;
        list->first = e;
    } else {
        LstElem* a = E(after);
        e->prev = a;
        e->next = a->next;
        if (a->next) a->next->prev = e; else list->last = e;
        a->next = e;
    }
    list->count++;
    return list;
}

Lst* lstConcat(Lst* dst, Lst* src) {
    if (!dst || !src || dst == src || !src->first) return dst;
    if (dst->last) {
        E(dst->last)->next = E(src->first);
        E(src->first)->prev = E(dst->last);
    } else {
        dst->first = src->first;
    }
    dst->last = src->last;
    dst->count += src->count;
    lstInit(src);
    return dst;
}

int32_t lstCount(const Lst* list) { return list ? list->count : 0; }

Lst* lstDelete(Lst* list, void* elem) {
    if (!list || !elem) return list;
    LstElem* e = E(elem);
    if (e->prev) e->prev->next = e->next; else list->first = e->next;
    if (e->next) e->next->prev = e->prev; else list->last = e->prev;
    list->count--;
    return list;
}

void* lstFirst(const Lst* list) { return list ? list->first : nullptr; }
void* lstLast(const Lst* list) { return list ? list->last : nullptr; }
void* lstNext(const void* elem) { return elem ? static_cast<const LstElem*>(elem)->next : nullptr; }
void* lstPrevious(const void* elem) { return elem ? static_cast<const LstElem*>(elem)->prev : nullptr; }

void* lstGet(Lst* list) {
    if (!list || !list->first) return nullptr;
    LstElem* e = E(list->first);
    lstDelete(list, e);
    e->next = e->prev = nullptr;
    return e;
}

int32_t lstFind(const Lst* list, const void* elem) {
    if (!list || !elem) return -1;
    int32_t pos = 1;
    for (const LstElem* e = static_cast<const LstElem*>(list->first); e; e = e->next, pos++)
        if (e == elem) return pos;
    return -1;
}
