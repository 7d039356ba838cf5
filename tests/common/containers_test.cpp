#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "common/array.h"
#include "common/bsearch.h"
#include "common/list.h"

namespace {

struct item {
    int value;
    list_link link;
};

int cmp_item(const void *a, const void *b)
{
    return static_cast<const item *>(a)->value - static_cast<const item *>(b)->value;
}

int cmp_int(const void *a, const void *b)
{
    int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return (x > y) - (x < y);
}

} // namespace

TEST(Array, GrowthFollowsCountNotCapacity)
{
    Ary a;
    array_init(&a, 4);
    ASSERT_EQ(array_grow(&a, 1), 0);
    EXPECT_EQ(a._capacity, 4u);
    a._count = 10;
    ASSERT_EQ(array_grow(&a, 11), 0);
    EXPECT_EQ(a._capacity, 15u * 4);
    array_purge(&a);
}

TEST(Array, FixedArrayNeverGrows)
{
    char buf[8];
    Ary a;
    array_init_fixed(&a, buf, sizeof(buf), 4);
    EXPECT_EQ(array_grow(&a, 3), -1);
    EXPECT_EQ(array_reserve(&a, 2), 0);
    EXPECT_EQ(array_reserve(&a, 3), -1);
}

TEST(Array, HugeElementCountIsRefused)
{
    Ary a;
    array_init(&a, 1u << 20);
    EXPECT_EQ(array_grow(&a, 1u << 13), -1);
    EXPECT_EQ(a._buffer, nullptr);
}

TEST(Array, ShiftOpensAndClosesGaps)
{
    Ary a;
    array_init(&a, sizeof(int));
    for (int i = 0; i < 5; i++)
        *array_push<int>(&a) = i + 1; // 1 2 3 4 5
    ASSERT_EQ(array_reserve(&a, 7), 0);
    array_shift(&a, 1, 3); // 1 0 0 2 3 4 5
    std::vector<int> got(array_at<int>(&a, 0), array_at<int>(&a, 0) + 7);
    EXPECT_EQ(got, (std::vector<int>{1, 0, 0, 2, 3, 4, 5}));
    array_shift(&a, 3, 1); // 1 2 3 4 5 0 0
    a._count = 5;
    got.assign(array_at<int>(&a, 0), array_at<int>(&a, 0) + 7);
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3, 4, 5, 0, 0}));
    array_purge(&a);
}

TEST(Bsearch, InsertMatchesSortedModel)
{
    std::mt19937 rng(7);
    std::vector<int> arr(600);
    size_t n = 0;
    std::vector<int> model;
    for (int i = 0; i < 500; i++) {
        int k = static_cast<int>(rng() % 300);
        bool dup = std::binary_search(model.begin(), model.end(), k);
        void *r = binsert(&k, arr.data(), n, sizeof(int), cmp_int);
        EXPECT_EQ(r == nullptr, dup);
        if (!dup) {
            n++;
            model.insert(std::upper_bound(model.begin(), model.end(), k), k);
        }
        ASSERT_TRUE(std::equal(model.begin(), model.end(), arr.begin()));
    }
}

TEST(Bsearch, SmallCasesAndMerge)
{
    int arr[4] = {};
    int k = 5;
    EXPECT_EQ(binsert(&k, arr, 0, sizeof(int), cmp_int), &arr[0]);
    k = 3;
    EXPECT_EQ(binsert(&k, arr, 1, sizeof(int), cmp_int), &arr[0]);
    k = 9;
    EXPECT_EQ(binsert(&k, arr, 2, sizeof(int), cmp_int), &arr[2]);
    k = 5;
    EXPECT_EQ(binsert(&k, arr, 3, sizeof(int), cmp_int), nullptr);
    EXPECT_EQ(std::vector<int>(arr, arr + 3), (std::vector<int>{3, 5, 9}));
    bremove(1, arr, 3, sizeof(int));
    EXPECT_EQ(std::vector<int>(arr, arr + 2), (std::vector<int>{3, 9}));

    int a[] = {1, 3, 5}, b[] = {3, 4}, out[5];
    static int merges;
    merges = 0;
    size_t n = bmerge(out, a, 3, b, 2, sizeof(int), cmp_int,
                      [](void *, const void *) { merges++; });
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(merges, 1);
    EXPECT_EQ(std::vector<int>(out, out + 4), (std::vector<int>{1, 3, 4, 5}));
}

TEST(List, SortMatchesStdSortOnRandomLists)
{
    std::mt19937 rng(11);
    for (int size : {0, 1, 2, 3, 7, 64, 1000}) {
        std::vector<item> items(static_cast<size_t>(size));
        list_link head;
        list_init(&head);
        for (auto &it : items) {
            it.value = static_cast<int>(rng() % 100);
            list_append(&head, &it.link);
        }
        list_sort(&head, cmp_item, -member_offset(&item::link));
        std::vector<int> got, want;
        for (auto &it : items)
            want.push_back(it.value);
        std::sort(want.begin(), want.end());
        for (list_link *l = head._next; l != &head; l = l->_next) {
            ASSERT_EQ(l->_next->_prev, l);
            got.push_back(container_of(l, &item::link)->value);
        }
        EXPECT_EQ(got, want) << size;
    }
}

TEST(List, PopAndEmptiness)
{
    item a{1, {}}, b{2, {}};
    list_link head;
    list_init(&head);
    EXPECT_TRUE(list_isempty(&head));
    list_append(&head, &a.link);
    list_insert_head(&head, &b.link);
    EXPECT_EQ(container_of(list_pop_head(&head), &item::link), &b);
    EXPECT_EQ(container_of(list_pop_head(&head), &item::link), &a);
    EXPECT_EQ(list_pop_head(&head), nullptr);
    list_link bad{&head, nullptr};
    bad._next = &bad;
    bad._prev = &head;
    EXPECT_DEATH(list_isempty(&bad), "Assertion failed: !\\(\\(list->_next == list\\)");
}

TEST(List, WalkersVisitInOrderAndSafeOnesSurviveRemoval)
{
    item items[5];
    list_link head;
    list_init(&head);
    for (int i = 0; i < 5; i++) {
        items[i].value = i;
        list_append(&head, &items[i].link);
    }
    std::vector<int> seen;
    for (list_link *l : list_for_each(&head))
        seen.push_back(container_of(l, &item::link)->value);
    for (item *it : list_records<&item::link>(&head))
        seen.push_back(it->value);
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 0, 1, 2, 3, 4}));

    // Removing (and poisoning) the current member must not derail a safe walk.
    seen.clear();
    for (item *it : list_records_safe<&item::link>(&head)) {
        seen.push_back(it->value);
        if (it->value % 2 == 0) {
            list_remove(&it->link);
            it->link._next = it->link._prev = nullptr;
        }
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
    seen.clear();
    for (list_link *l : list_for_each_safe(&head)) {
        seen.push_back(container_of(l, &item::link)->value);
        list_remove(l);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 3}));
    EXPECT_TRUE(list_isempty(&head));
    EXPECT_EQ(list_first_record<&item::link>(&head), nullptr);
    for (item *it : list_records<&item::link>(&head))
        ADD_FAILURE() << "empty list visited " << it->value;
}
