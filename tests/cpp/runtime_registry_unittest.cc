// The registry's algorithms over synthetic tables: the binary search by name, the merge, the
// cast search with its move to front, class data propagation, and the documentation fix-up.
#include "runtime_test_support.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// The module tables the runtime expects. They serve the documentation fix-up test; the
// registry tests build their own module records.
namespace {
swig_type table_foo = {"_p_foo", "foo *", nullptr, nullptr, nullptr, 0};
swig_cast table_foo_casts[] = {{&table_foo, nullptr, nullptr, nullptr},
                               {nullptr, nullptr, nullptr, nullptr}};
const unsigned char packed_bytes[] = {1, 2};
PyObject *no_function(PyObject *, PyObject *) {
    return nullptr;
}
} // namespace

swig_type *swig_types[3];
swig_type *swig_type_initial[] = {&table_char, &table_foo};
swig_cast *swig_cast_initial[] = {table_char_casts, table_foo_casts};
swig_module_record swig_module = {swig_types, 2, nullptr, nullptr, nullptr, nullptr};
swig_const swig_const_table[] = {
    {SWIG_CONST_POINTER, "ab", 0, 0, reinterpret_cast<void *>(0x0102030405060708), &swig_types[0]},
    {SWIG_CONST_POINTER, "abc", 0, 0, reinterpret_cast<void *>(0x99), &swig_types[0]},
    {SWIG_CONST_POINTER, "foo_ptr", 0, 0, reinterpret_cast<void *>(0x00007f0012345678),
     &swig_types[1]},
    {SWIG_CONST_POINTER, "null_ptr", 0, 0, nullptr, &swig_types[0]},
    {SWIG_CONST_PACKED, "packed", 2, 0, const_cast<unsigned char *>(packed_bytes), &swig_types[0]},
    {1, "plain_int", 5, 0, nullptr, nullptr},
    {0, nullptr, 0, 0, nullptr, nullptr}};
PyMethodDef SwigMethods[] = {
    {"to_foo", no_function, METH_VARARGS, "Head text.\nswig_ptr: foo_ptr and the rest"},
    {"shadowed", no_function, METH_VARARGS, "swig_ptr: abc"},
    {"to_packed", no_function, METH_VARARGS, "swig_ptr: packed"},
    {"to_null", no_function, METH_VARARGS, "swig_ptr: null_ptr"},
    {"to_int", no_function, METH_VARARGS, "swig_ptr: plain_int"},
    {"unknown", no_function, METH_VARARGS, "swig_ptr: nothing"},
    {"at_end", no_function, METH_VARARGS, "swig_ptr: "},
    {"plain", no_function, METH_VARARGS, "no reference"},
    {"undocumented", no_function, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};
PyModuleDef SWIG_module = module_definition("_registry_test");

namespace {

// ---------------------------------------------------------------------------------------------
// Synthetic modules.

// Type records with stable addresses, named as given.
struct TypePool {
    std::vector<std::string> names;
    std::vector<swig_type> types;
    explicit TypePool(std::vector<std::string> n) : names(std::move(n)), types(names.size()) {
        for (size_t i = 0; i < names.size(); ++i) {
            types[i] = swig_type{names[i].c_str(), names[i].c_str(), nullptr, nullptr, nullptr, 0};
        }
    }
    swig_type *operator[](size_t i) { return &types[i]; }
};

// A module record over the given (sorted) initial types and cast arrays, not yet joined.
struct FakeModule {
    std::vector<swig_type *> initial;
    std::vector<std::vector<swig_cast>> cast_arrays;
    std::vector<swig_cast *> casts;
    std::vector<swig_type *> slots;
    swig_module_record record{};

    // `sources[i]` lists the source types of slot i's cast array, in array order; each entry
    // has a converter when its source is in `converting`.
    FakeModule(std::vector<swig_type *> types, std::vector<std::vector<swig_type *>> sources,
               std::vector<swig_type *> converting = {})
        : initial(std::move(types)), cast_arrays(initial.size()), casts(initial.size()),
          slots(initial.size() + 1, reinterpret_cast<swig_type *>(0x1)) {
        for (size_t i = 0; i < initial.size(); ++i) {
            for (swig_type *source : sources[i]) {
                bool converts = false;
                for (swig_type *c : converting) {
                    converts = converts || c == source;
                }
                cast_arrays[i].push_back({source, converts ? convert : nullptr, nullptr, nullptr});
            }
            cast_arrays[i].push_back({nullptr, nullptr, nullptr, nullptr});
            casts[i] = cast_arrays[i].data();
        }
        record.type_array = slots.data();
        record.type_count = initial.size();
        record.initial_types = initial.data();
        record.initial_casts = casts.data();
    }
    FakeModule(const FakeModule &) = delete;

    static void *convert(void *p, int *) { return p; }
};

// What join_registry does for a new module, without the capsule: a chain of one, or inserted
// right after `head`; then the merge.
void join(FakeModule &module, FakeModule *head) {
    module.record.next_module = &module.record;
    if (head) {
        module.record.next_module = head->record.next_module;
        head->record.next_module = &module.record;
    }
    merge_module_types(&module.record);
}

// A type's cast list as source names, head first, checking every back link on the way.
std::vector<std::string> list_of(const swig_type *type) {
    std::vector<std::string> names;
    const swig_cast *previous = nullptr;
    for (const swig_cast *entry = type->cast_list; entry; entry = entry->next_cast) {
        EXPECT_EQ(entry->prev_cast, previous)
            << "broken back link before " << entry->source_type->mangled_name;
        names.push_back(entry->source_type->mangled_name);
        previous = entry;
        if (names.size() > 100) {
            ADD_FAILURE() << "cast list loops";
            break;
        }
    }
    return names;
}

using Names = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------
// find_type_by_name

// A module record whose type_array is exactly `types`.
swig_module_record array_module(std::vector<swig_type *> &types) {
    swig_module_record record{};
    record.type_array = types.data();
    record.type_count = types.size();
    return record;
}

TEST(FindTypeByName, FindsEverySlotAndMissesEveryGap) {
    // Every table size up to 9, every name present, and names before, between and after them:
    // the unsigned bounds and the "mid is 0" stop must never probe outside the table.
    for (size_t count = 1; count <= 9; ++count) {
        std::vector<std::string> names;
        for (size_t i = 0; i < count; ++i) {
            names.push_back("_p_" + std::string(1, static_cast<char>('b' + 2 * i)));
        }
        TypePool pool(names);
        std::vector<swig_type *> types;
        for (size_t i = 0; i < count; ++i) {
            types.push_back(pool[i]);
        }
        swig_module_record module = array_module(types);
        swig_module_record stop{};
        module.next_module = &stop;
        for (size_t i = 0; i < count; ++i) {
            EXPECT_EQ(find_type_by_name(&module, &stop, names[i].c_str()), pool[i])
                << "count " << count << " slot " << i;
            std::string gap = "_p_" + std::string(1, static_cast<char>('a' + 2 * i));
            EXPECT_EQ(find_type_by_name(&module, &stop, gap.c_str()), nullptr) << gap;
        }
        std::string after = "_p_" + std::string(1, static_cast<char>('b' + 2 * count));
        EXPECT_EQ(find_type_by_name(&module, &stop, after.c_str()), nullptr) << after;
        EXPECT_EQ(find_type_by_name(&module, &stop, ""), nullptr);
    }
}

TEST(FindTypeByName, WalksModulesInChainOrderAndStopsBeforeTheStopModule) {
    TypePool pool({"_p_x", "_p_x", "_p_y"});
    std::vector<swig_type *> first = {pool[0]};
    std::vector<swig_type *> second = {pool[1], pool[2]};
    std::vector<swig_type *> none = {};
    swig_module_record a = array_module(first);
    swig_module_record b = array_module(second);
    swig_module_record empty = array_module(none);
    swig_module_record stop{};
    // a -> empty -> b -> stop
    a.next_module = &empty;
    empty.next_module = &b;
    b.next_module = &stop;
    EXPECT_EQ(find_type_by_name(&a, &stop, "_p_x"), pool[0]);
    EXPECT_EQ(find_type_by_name(&empty, &stop, "_p_x"), pool[1]);
    EXPECT_EQ(find_type_by_name(&a, &stop, "_p_y"), pool[2]);
    EXPECT_EQ(find_type_by_name(&a, &b, "_p_y"), nullptr);
    EXPECT_EQ(find_type_by_name(&stop, &stop, "_p_x"), nullptr);
}

TEST(FindTypeByName, ANullNameEndsTheSearchOfThatModuleOnly) {
    TypePool pool({"_p_a", "_p_c", "_p_c"});
    swig_type unnamed = {nullptr, nullptr, nullptr, nullptr, nullptr, 0};
    // The first probe of three slots is slot 1: the null name stops this module although
    // "_p_c" sits in slot 2; the next module supplies it.
    std::vector<swig_type *> broken = {pool[0], &unnamed, pool[1]};
    std::vector<swig_type *> good = {pool[2]};
    swig_module_record a = array_module(broken);
    swig_module_record b = array_module(good);
    swig_module_record stop{};
    a.next_module = &b;
    b.next_module = &stop;
    EXPECT_EQ(find_type_by_name(&a, &stop, "_p_c"), pool[2]);
    EXPECT_EQ(find_type_by_name(&a, &b, "_p_c"), nullptr);
    EXPECT_EQ(find_type_by_name(&a, &b, "_p_a"), nullptr);
}

// ---------------------------------------------------------------------------------------------
// find_cast

struct CastList {
    TypePool pool{{"_p_a", "_p_b", "_p_c", "_p_d"}};
    swig_type owner = {"_p_owner", nullptr, nullptr, nullptr, nullptr, 0};
    swig_cast entries[3] = {};
    // owner's list: a, b, c (head first)
    CastList() {
        for (int i = 0; i < 3; ++i) {
            entries[i].source_type = pool[static_cast<size_t>(i)];
            entries[i].next_cast = i < 2 ? &entries[i + 1] : nullptr;
            entries[i].prev_cast = i > 0 ? &entries[i - 1] : nullptr;
        }
        owner.cast_list = &entries[0];
    }
};

TEST(FindCast, HitMovesToTheHeadKeepingEveryLink) {
    struct Case {
        const char *name;
        int hit; // index of the entry found, -1 for a miss
        Names after;
    } cases[] = {
        {"_p_a", 0, {"_p_a", "_p_b", "_p_c"}},  // head: no relinking
        {"_p_b", 1, {"_p_b", "_p_a", "_p_c"}},  // middle
        {"_p_c", 2, {"_p_c", "_p_a", "_p_b"}},  // tail: its predecessor becomes the tail
        {"_p_d", -1, {"_p_a", "_p_b", "_p_c"}}, // miss: unchanged
        {"_p_", -1, {"_p_a", "_p_b", "_p_c"}},  // a prefix is not a match
    };
    for (const Case &c : cases) {
        CastList list;
        swig_cast *found = find_cast(&list.owner, c.name);
        EXPECT_EQ(found, c.hit < 0 ? nullptr : &list.entries[c.hit]) << c.name;
        EXPECT_EQ(list_of(&list.owner), c.after) << c.name;
        if (found) {
            EXPECT_EQ(found->prev_cast, nullptr);
        }
    }
}

TEST(FindCast, RepeatedSearchesReorderLikeAMoveToFrontList) {
    CastList list;
    find_cast(&list.owner, "_p_c");
    find_cast(&list.owner, "_p_b");
    find_cast(&list.owner, "_p_b");
    find_cast(&list.owner, "_p_a");
    EXPECT_EQ(list_of(&list.owner), (Names{"_p_a", "_p_b", "_p_c"}));
    find_cast(&list.owner, "_p_c");
    EXPECT_EQ(list_of(&list.owner), (Names{"_p_c", "_p_a", "_p_b"}));
    swig_type empty = {"_p_empty", nullptr, nullptr, nullptr, nullptr, 0};
    EXPECT_EQ(find_cast(&empty, "_p_a"), nullptr);
}

// ---------------------------------------------------------------------------------------------
// The merge

TEST(Merge, AModuleAloneLinksItsArraysInReverseAndTerminatesItsTable) {
    TypePool pool({"_p_a", "_p_b", "_p_c"});
    FakeModule m({pool[0], pool[1], pool[2]}, {{pool[0]}, {pool[1], pool[0], pool[2]}, {pool[2]}});
    join(m, nullptr);
    EXPECT_EQ(m.slots, (std::vector<swig_type *>{pool[0], pool[1], pool[2], nullptr}));
    EXPECT_EQ(list_of(pool[0]), Names{"_p_a"});
    EXPECT_EQ(list_of(pool[1]), (Names{"_p_c", "_p_a", "_p_b"}));
    EXPECT_EQ(list_of(pool[2]), Names{"_p_c"});
}

TEST(Merge, AModuleWithoutTypesOnlyTerminatesItsTable) {
    FakeModule m({}, {});
    join(m, nullptr);
    EXPECT_EQ(m.slots, (std::vector<swig_type *>{nullptr}));
}

TEST(Merge, ALaterModuleAdoptsSharedRecordsAndKeepsItsOwn) {
    TypePool first({"_p_char", "_p_norvek"});
    TypePool second({"_p_char", "_p_quedrin"});
    FakeModule a({first[0], first[1]}, {{first[0]}, {first[1]}});
    FakeModule b({second[0], second[1]}, {{second[0]}, {second[1]}});
    join(a, nullptr);
    join(b, &a);
    EXPECT_EQ(b.slots, (std::vector<swig_type *>{first[0], second[1], nullptr}));
    // The adopted list already accepts "_p_char": b's own entry stays out.
    EXPECT_EQ(list_of(first[0]), Names{"_p_char"});
    EXPECT_EQ(first[0]->cast_list, &a.cast_arrays[0][0]);
    EXPECT_EQ(second[0]->cast_list, nullptr);
    EXPECT_EQ(list_of(second[1]), Names{"_p_quedrin"});
    // The ring: a -> b -> a.
    EXPECT_EQ(a.record.next_module, &b.record);
    EXPECT_EQ(b.record.next_module, &a.record);
}

TEST(Merge, CastEntriesOfAnAdoptedTypeAreLinkedOnlyWhenTheListLacksThem) {
    TypePool a_types({"_p_base", "_p_derived", "_p_pipe"});
    TypePool b_types({"_p_base", "_p_other", "_p_pipe"});
    // a: base accepts [base, derived*]; pipe accepts [pipe, base].
    FakeModule a({a_types[0], a_types[1], a_types[2]},
                 {{a_types[0], a_types[1]}, {a_types[1]}, {a_types[2], a_types[0]}}, {a_types[1]});
    // b: base accepts [base, other, pipe]; other [other]; pipe [pipe].
    FakeModule b({b_types[0], b_types[1], b_types[2]},
                 {{b_types[0], b_types[1], b_types[2]}, {b_types[1]}, {b_types[2]}});
    join(a, nullptr);
    EXPECT_EQ(list_of(a_types[0]), (Names{"_p_derived", "_p_base"}));
    join(b, &a);

    // base: its own entry is found (and moved to the front); "_p_other" is known nowhere else
    // and "_p_pipe" is known but missing from the list: both linked, with b's own records as
    // their sources.
    EXPECT_EQ(list_of(a_types[0]), (Names{"_p_pipe", "_p_other", "_p_base", "_p_derived"}));
    EXPECT_EQ(a_types[0]->cast_list, &b.cast_arrays[0][2]);
    EXPECT_EQ(b.cast_arrays[0][2].source_type, b_types[2]);
    EXPECT_EQ(b.cast_arrays[0][1].source_type, b_types[1]);
    EXPECT_EQ(b.cast_arrays[0][0].next_cast, nullptr); // b's own "_p_base" entry never linked
    // other is b's own.
    EXPECT_EQ(b.slots, (std::vector<swig_type *>{a_types[0], b_types[1], a_types[2], nullptr}));
    // pipe: adopted; b's own entry is found at the tail of [base, pipe] and moved forward.
    EXPECT_EQ(list_of(a_types[2]), (Names{"_p_pipe", "_p_base"}));
}

TEST(Merge, AnOwnTypeTakesTheSharedRecordsAsItsSources) {
    TypePool a_types({"_p_char"});
    TypePool b_types({"_p_char", "_p_tool"});
    FakeModule a({a_types[0]}, {{a_types[0]}});
    // b's tool type accepts char pointers too.
    FakeModule b({b_types[0], b_types[1]}, {{b_types[0]}, {b_types[1], b_types[0]}});
    join(a, nullptr);
    join(b, &a);
    EXPECT_EQ(b.cast_arrays[1][1].source_type, a_types[0]);
    EXPECT_EQ(list_of(b_types[1]), (Names{"_p_char", "_p_tool"}));
}

TEST(Merge, ClassDataOfAnInitialTypeOverwritesTheAdoptedRecords) {
    TypePool a_types({"_p_t", "_p_u"});
    TypePool b_types({"_p_t", "_p_u"});
    swig_class_data old_data{}, new_data{};
    a_types[0]->class_data = &old_data;
    a_types[1]->class_data = &old_data;
    b_types[0]->class_data = &new_data;
    b_types[0]->owns_class_data = 1;
    FakeModule a({a_types[0], a_types[1]}, {{a_types[0]}, {a_types[1]}});
    FakeModule b({b_types[0], b_types[1]}, {{b_types[0]}, {b_types[1]}});
    join(a, nullptr);
    join(b, &a);
    EXPECT_EQ(a_types[0]->class_data, &new_data);
    EXPECT_EQ(a_types[0]->owns_class_data, 0); // not carried over
    EXPECT_EQ(a_types[1]->class_data, &old_data);
}

TEST(Merge, AThirdModuleSearchesTheLatestJoinedFirstAndTheHeadLast) {
    // Two other modules each hold their own "_p_s" record (as after a chain was re-anchored):
    // the joining module adopts the one of the module that joined most recently.
    TypePool h({"_p_s"});
    TypePool x({"_p_s"});
    TypePool n({"_p_s"});
    FakeModule head({h[0]}, {{h[0]}});
    FakeModule middle({x[0]}, {{x[0]}});
    join(head, nullptr);
    join(middle, nullptr); // its own chain
    // Splice it in after the head by hand: head -> middle -> head.
    middle.record.next_module = &head.record;
    head.record.next_module = &middle.record;
    FakeModule joining({n[0]}, {{n[0]}});
    join(joining, &head); // head -> joining -> middle -> head
    EXPECT_EQ(joining.slots[0], x[0]);
    EXPECT_EQ(head.record.next_module, &joining.record);
    EXPECT_EQ(joining.record.next_module, &middle.record);
}

// ---------------------------------------------------------------------------------------------
// The name index

// Chains whose modules know names in several records: each row lists the modules in joining
// order (the head first) by the names of their slots, as they sit in type_array (a module may
// be unsorted, which hides names from the binary search, or hold an empty slot).
struct IndexChain {
    const char *label;
    std::vector<Names> modules;
};

class NameIndex : public ::testing::TestWithParam<IndexChain> {};

TEST_P(NameIndex, FindsWhatTheMergesWalkFindsForEveryName) {
    const IndexChain &chain = GetParam();
    // Every module's records are its own (none adopted), so the record tells which module a
    // walk found it in.
    std::vector<std::unique_ptr<TypePool>> pools;
    std::vector<std::unique_ptr<FakeModule>> modules;
    Names every;
    for (const Names &names : chain.modules) {
        pools.push_back(std::make_unique<TypePool>(names));
        std::vector<swig_type *> types;
        for (size_t i = 0; i < names.size(); ++i) {
            types.push_back(names[i].empty() ? nullptr : (*pools.back())[i]);
            every.push_back(names[i]);
        }
        modules.push_back(std::make_unique<FakeModule>(
            types, std::vector<std::vector<swig_type *>>(types.size())));
        FakeModule &m = *modules.back();
        for (size_t i = 0; i < types.size(); ++i) {
            m.slots[i] = types[i];
        }
        m.slots[types.size()] = nullptr;
        // Linked right after the head, as each join does.
        if (modules.size() == 1) {
            m.record.next_module = &m.record;
        } else {
            m.record.next_module = modules[0]->record.next_module;
            modules[0]->record.next_module = &m.record;
        }
    }
    every.push_back("_p_nowhere");
    swig_module_record *head = &modules[0]->record;
    ASSERT_EQ(own_index_ready(head), 1);
    // The walk of a module joining now: from the head's successor round to the head.
    swig_module_record joining{};
    joining.next_module = head->next_module;
    head->next_module = &joining;
    for (const std::string &name : every) {
        if (!name.empty()) {
            EXPECT_EQ(own_index_find(head, name.c_str()),
                      find_type_by_name(joining.next_module, &joining, name.c_str()))
                << chain.label << ": " << name;
        }
    }
    // A module linked in without telling the index is seen at the next readiness check.
    static swig_type untold = {"_p_a", "a *", nullptr, nullptr, nullptr, 0};
    static swig_type *untold_slots[] = {&untold, nullptr};
    joining.type_array = untold_slots;
    joining.type_count = 1;
    EXPECT_EQ(own_index_ready(head), 1);
    EXPECT_EQ(own_index_find(head, "_p_a"), &untold) << chain.label;
    // The index keeps the records' addresses and names for as long as the process, as it may
    // for modules: these must never be freed and their addresses never reused.
    static std::vector<std::unique_ptr<TypePool>> kept_pools;
    static std::vector<std::unique_ptr<FakeModule>> kept_modules;
    static std::vector<std::unique_ptr<swig_module_record>> kept_records;
    kept_records.push_back(std::make_unique<swig_module_record>(joining));
    head->next_module = kept_records.back().get();
    for (auto &pool : pools) {
        kept_pools.push_back(std::move(pool));
    }
    for (auto &module : modules) {
        kept_modules.push_back(std::move(module));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chains, NameIndex,
    ::testing::Values(
        IndexChain{"alone", {{"_p_a", "_p_b"}}},
        IndexChain{"latest joined wins", {{"_p_a", "_p_s"}, {"_p_s"}, {"_p_b", "_p_s"}}},
        IndexChain{"head only", {{"_p_s", "_p_t"}, {"_p_a"}, {"_p_b"}}},
        IndexChain{"unsorted hides names", {{"_p_a", "_p_m", "_p_z"}, {"_p_z", "_p_m", "_p_a"}}},
        IndexChain{"empty slot ends a search", {{"_p_a", "_p_b", "_p_c"}, {"_p_a", "", "_p_c"}}},
        IndexChain{"no types", {{}, {"_p_a"}, {}}}),
    [](const auto &info) {
        std::string name = info.param.label;
        for (char &c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

// ---------------------------------------------------------------------------------------------
// SWIG_TypeClientData

TEST(TypeClientData, SpreadsAlongConverterlessEntriesToTypesWithoutClassData) {
    TypePool pool({"_p_base", "_p_conv", "_p_keep", "_p_plain", "_p_far"});
    swig_class_data existing{}, data{};
    pool[2]->class_data = &existing;
    // base accepts [base, conv*, keep, plain]; plain accepts [plain, far]; far accepts [base].
    FakeModule m({pool[0], pool[1], pool[2], pool[3], pool[4]},
                 {{pool[0], pool[1], pool[2], pool[3]},
                  {pool[1]},
                  {pool[2]},
                  {pool[3], pool[4]},
                  {pool[4], pool[0]}},
                 {pool[1]});
    join(m, nullptr);
    SWIG_TypeClientData(pool[0], &data);
    EXPECT_EQ(pool[0]->class_data, &data);
    EXPECT_EQ(pool[1]->class_data, nullptr);   // only through a converter
    EXPECT_EQ(pool[2]->class_data, &existing); // already had its own
    EXPECT_EQ(pool[3]->class_data, &data);
    EXPECT_EQ(pool[4]->class_data, &data); // two steps away; its entry back to base ends it
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(pool[static_cast<size_t>(i)]->owns_class_data, 0);
    }
    // A second record replaces it on the type itself only: the others already have one.
    swig_class_data later{};
    SWIG_TypeClientData(pool[0], &later);
    EXPECT_EQ(pool[0]->class_data, &later);
    EXPECT_EQ(pool[3]->class_data, &data);
}

// ---------------------------------------------------------------------------------------------
// The documentation fix-up, over this file's tables.

TEST(FixMethodDocs, WritesPointerConstantsIntoTheirReferencesAndLeavesTheRest) {
    swig_types[0] = &table_char;
    swig_types[1] = &table_foo;
    std::vector<const char *> before;
    for (PyMethodDef *m = SwigMethods; m->ml_name; ++m) {
        before.push_back(m->ml_doc);
    }
    fix_method_docs();
    struct Expect {
        const char *name;
        const char *doc; // null: unchanged
    } expected[] = {
        {"to_foo", "Head text.\nswig_ptr: _78563412007f0000_p_foo"},
        {"shadowed", "swig_ptr: _0807060504030201_p_char"}, // "ab" comes first in the table
        {"to_packed", nullptr},
        {"to_null", nullptr},
        {"to_int", nullptr},
        {"unknown", nullptr},
        {"at_end", nullptr},
        {"plain", nullptr},
        {"undocumented", nullptr},
    };
    size_t i = 0;
    for (const Expect &e : expected) {
        ASSERT_STREQ(SwigMethods[i].ml_name, e.name);
        if (e.doc) {
            EXPECT_STREQ(SwigMethods[i].ml_doc, e.doc) << e.name;
            EXPECT_NE(SwigMethods[i].ml_doc, before[i]) << e.name;
        } else {
            EXPECT_EQ(SwigMethods[i].ml_doc, before[i]) << e.name;
        }
        ++i;
    }
    // A second run finds the rewritten texts and leaves them as they are.
    std::vector<const char *> fixed;
    for (PyMethodDef *m = SwigMethods; m->ml_name; ++m) {
        fixed.push_back(m->ml_doc);
    }
    fix_method_docs();
    for (size_t k = 0; k < fixed.size(); ++k) {
        EXPECT_EQ(SwigMethods[k].ml_doc, fixed[k]);
    }
}

} // namespace
