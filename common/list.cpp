#include "common/list.h"

void list_sort(list_link *head, list_compare_fn compare, std::ptrdiff_t offset)
{
    if (list_isempty(head) || head->_next->_next == head)
        return;
    auto member = [offset](list_link *l) {
        return static_cast<const void *>(reinterpret_cast<const char *>(l) + offset);
    };
    for (size_t width = 1;; width *= 2) {
        list_link *a = head->_next;
        size_t merges = 0;
        while (a != head) {
            merges++;
            // The second run starts width members after a.
            list_link *b = a;
            size_t na = 0;
            while (na < width && b != head) {
                b = b->_next;
                na++;
            }
            size_t nb = 0;
            while (na > 0 && nb < width && b != head) {
                if (compare(member(a), member(b)) >= 0) {
                    list_link *next = b->_next;
                    list_remove(b);
                    list_insert_before(a, b);
                    b = next;
                    nb++;
                } else {
                    a = a->_next;
                    na--;
                }
            }
            // Skip what is left of the second run.
            while (nb < width && b != head) {
                b = b->_next;
                nb++;
            }
            a = b;
        }
        if (merges <= 1)
            return;
    }
}
