// Randomized tests of the runtime's pure algorithms, with fixed seeds: the cast search's move to
// front against a reference list, hex packing against a reference encoder, and the name search
// and merge over random sorted tables against a linear search.
#include "runtime_test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// The module tables the runtime expects; these tests build their own records instead.
swig_type *swig_types[2] = {&table_char, nullptr};
swig_type *swig_type_initial[] = {&table_char};
swig_cast *swig_cast_initial[] = {table_char_casts};
swig_module_record swig_module = {swig_types, 1, nullptr, nullptr, nullptr, nullptr};
swig_const swig_const_table[] = {{0, nullptr, 0, 0, nullptr, nullptr}};
PyMethodDef SwigMethods[] = {{nullptr, nullptr, 0, nullptr}};
PyModuleDef SWIG_module = module_definition("_fuzz_test");

namespace {

constexpr unsigned kSeed = 20240611;

// Names "_p_n00" ... in byte-wise order, so sorting by index sorts by name.
std::string type_name(int index) {
    char text[16];
    std::snprintf(text, sizeof text, "_p_n%02d", index);
    return text;
}

// The source names of `type`'s cast list, head first, after checking that the list is a
// proper doubly linked list: no back link broken, a null back link at the head, no loop.
std::vector<std::string> checked_list(const swig_type *type, size_t limit) {
    std::vector<std::string> names;
    const swig_cast *previous = nullptr;
    for (const swig_cast *entry = type->cast_list; entry; entry = entry->next_cast) {
        EXPECT_EQ(entry->prev_cast, previous) << "back link broken at entry " << names.size();
        names.push_back(entry->source_type->mangled_name);
        previous = entry;
        if (names.size() > limit) {
            ADD_FAILURE() << "cast list loops";
            break;
        }
    }
    return names;
}

// ---------------------------------------------------------------------------------------------
// find_cast: any sequence of searches keeps the list a consistent doubly linked list holding
// the same entries, in the order a move-to-front list would hold them.

TEST(FindCastFuzz, AnySearchSequenceKeepsTheListConsistentAndMovesHitsToTheFront) {
    std::mt19937 rng(kSeed);
    for (int round = 0; round < 20000; ++round) {
        const int universe = 16;
        const int length = std::uniform_int_distribution<int>(0, 10)(rng);
        std::vector<swig_type> sources(universe);
        std::vector<std::string> names(universe);
        for (int i = 0; i < universe; ++i) {
            names[i] = type_name(i);
            sources[i] = {names[i].c_str(), names[i].c_str(), nullptr, nullptr, nullptr, 0};
        }
        // A list of distinct sources, linked as the merge links them.
        std::vector<int> picks(universe);
        for (int i = 0; i < universe; ++i) {
            picks[i] = i;
        }
        std::shuffle(picks.begin(), picks.end(), rng);
        picks.resize(length);
        std::vector<swig_cast> entries(length);
        swig_type owner = {"_p_owner", "owner *", nullptr, nullptr, nullptr, 0};
        std::deque<std::string> model;
        for (int i = length - 1; i >= 0; --i) {
            entries[i] = {&sources[picks[i]], nullptr, nullptr, nullptr};
            if (owner.cast_list) {
                owner.cast_list->prev_cast = &entries[i];
                entries[i].next_cast = owner.cast_list;
            }
            owner.cast_list = &entries[i];
            model.push_front(names[picks[i]]);
        }

        const int searches = std::uniform_int_distribution<int>(1, 30)(rng);
        for (int s = 0; s < searches; ++s) {
            const int wanted = std::uniform_int_distribution<int>(0, universe - 1)(rng);
            const std::string &name = names[wanted];
            swig_cast *hit = find_cast(&owner, name.c_str());
            auto in_model = std::find(model.begin(), model.end(), name);
            if (in_model == model.end()) {
                ASSERT_EQ(hit, nullptr) << "round " << round;
            } else {
                ASSERT_NE(hit, nullptr) << "round " << round;
                ASSERT_STREQ(hit->source_type->mangled_name, name.c_str());
                ASSERT_EQ(owner.cast_list, hit) << "a hit is the new head";
                model.erase(in_model);
                model.push_front(name);
            }
            std::vector<std::string> now = checked_list(&owner, length);
            ASSERT_EQ(now, std::vector<std::string>(model.begin(), model.end()))
                << "round " << round << ", search " << s;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Hex packing: two lower-case digits per byte, high nibble first, nothing written beyond.

std::string reference_pack(const std::vector<unsigned char> &bytes) {
    std::string text;
    for (unsigned char byte : bytes) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

TEST(PackDataFuzz, MatchesAReferenceEncoderForRandomBlocks) {
    std::mt19937 rng(kSeed + 1);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 3000; ++round) {
        const size_t n = std::uniform_int_distribution<size_t>(0, round < 2900 ? 64 : 2048)(rng);
        std::vector<unsigned char> bytes(n);
        for (unsigned char &b : bytes) {
            b = static_cast<unsigned char>(byte(rng));
        }
        const char guard = static_cast<char>(byte(rng) | 1);
        std::string out(2 * n + 8, guard);
        char *end = SWIG_PackData(out.data(), bytes.data(), n);
        ASSERT_EQ(end, out.data() + 2 * n) << "round " << round;
        ASSERT_EQ(out.substr(0, 2 * n), reference_pack(bytes)) << "round " << round;
        ASSERT_EQ(out.substr(2 * n), std::string(8, guard)) << "wrote past the digits";
    }
}

// ---------------------------------------------------------------------------------------------
// Random modules: sorted tables of names drawn from one universe, each type's cast array
// accepting the type itself and some other types of the same module.

struct RandomModule {
    std::vector<std::string> names;
    std::vector<swig_type> types;
    std::vector<swig_type *> initial;
    std::vector<std::vector<swig_cast>> cast_arrays;
    std::vector<swig_cast *> casts;
    std::vector<swig_type *> slots;
    swig_module_record record{};

    RandomModule(std::mt19937 &rng, int universe, int max_types) {
        std::set<int> chosen;
        const int count = std::uniform_int_distribution<int>(0, max_types)(rng);
        while (static_cast<int>(chosen.size()) < count) {
            chosen.insert(std::uniform_int_distribution<int>(0, universe - 1)(rng));
        }
        for (int index : chosen) {
            names.push_back(type_name(index));
        }
        types.resize(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            types[i] = {names[i].c_str(), names[i].c_str(), nullptr, nullptr, nullptr, 0};
            initial.push_back(&types[i]);
        }
        cast_arrays.resize(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            cast_arrays[i].push_back({&types[i], nullptr, nullptr, nullptr});
            for (size_t j = 0; j < names.size(); ++j) {
                if (j != i && std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
                    cast_arrays[i].push_back({&types[j], nullptr, nullptr, nullptr});
                }
            }
            std::shuffle(cast_arrays[i].begin(), cast_arrays[i].end(), rng);
            cast_arrays[i].push_back({nullptr, nullptr, nullptr, nullptr});
            casts.push_back(cast_arrays[i].data());
        }
        // Slots start as garbage: the merge must fill every one and the terminator.
        slots.assign(names.size() + 1, reinterpret_cast<swig_type *>(0x1));
        record.type_array = slots.data();
        record.type_count = names.size();
        record.initial_types = initial.data();
        record.initial_casts = casts.data();
    }
    RandomModule(const RandomModule &) = delete;
};

// What the name search must find: the first module from `start` (inclusive) along the chain
// up to `stop` (exclusive) that holds the name, by plain comparison of every slot.
swig_type *linear_search(swig_module_record *start, swig_module_record *stop, const char *name) {
    for (swig_module_record *m = start; m != stop; m = m->next_module) {
        for (std::uint64_t i = 0; i < m->type_count; ++i) {
            if (std::strcmp(m->type_array[i]->mangled_name, name) == 0) {
                return m->type_array[i];
            }
        }
    }
    return nullptr;
}

TEST(RegistryFuzz, NameSearchAndMergeOverRandomTablesFindWhatALinearSearchFinds) {
    std::mt19937 rng(kSeed + 2);
    const int universe = 24;
    for (int round = 0; round < 3000; ++round) {
        const int module_count = std::uniform_int_distribution<int>(1, 5)(rng);
        std::vector<std::unique_ptr<RandomModule>> modules;
        swig_module_record *head = nullptr;
        for (int k = 0; k < module_count; ++k) {
            modules.push_back(std::make_unique<RandomModule>(rng, universe, 12));
            RandomModule &module = *modules.back();
            swig_module_record *self = &module.record;

            // Join as join_registry does: a chain of one, or right after the head; then merge.
            self->next_module = self;
            if (head) {
                self->next_module = head->next_module;
                head->next_module = self;
            } else {
                head = self;
            }
            swig_module_record *others = self->next_module;
            // What each slot must hold: the record the others already have under that name
            // (searched in chain order, the head last), else the module's own.
            std::vector<swig_type *> expected;
            for (swig_type *own : module.initial) {
                swig_type *found =
                    others == self ? nullptr : linear_search(others, self, own->mangled_name);
                expected.push_back(found ? found : own);
            }
            merge_module_types(self);

            for (size_t i = 0; i < module.initial.size(); ++i) {
                ASSERT_EQ(module.slots[i], expected[i]) << "round " << round << ", slot " << i;
            }
            ASSERT_EQ(module.slots[module.initial.size()], nullptr) << "no terminator";

            // Every list reachable from any module is consistent, names each source once, and
            // accepts every type that the module's own array says the slot accepts.
            for (auto &m : modules) {
                for (std::uint64_t i = 0; i < m->record.type_count; ++i) {
                    std::vector<std::string> list = checked_list(m->slots[i], 64);
                    std::set<std::string> unique(list.begin(), list.end());
                    ASSERT_EQ(unique.size(), list.size()) << "a source linked twice";
                }
            }
            for (size_t i = 0; i < module.initial.size(); ++i) {
                std::vector<std::string> list = checked_list(module.slots[i], 64);
                for (const swig_cast *c = module.casts[i]; c->source_type; ++c) {
                    ASSERT_NE(std::find(list.begin(), list.end(), c->source_type->mangled_name),
                              list.end())
                        << "slot " << i << " does not accept " << c->source_type->mangled_name;
                }
            }

            // The binary search over the whole chain, from every start, for every name of the
            // universe and names between and around them.
            for (int probe = 0; probe < 2 * universe + 2; ++probe) {
                std::string name =
                    probe % 2 == 0 ? type_name(probe / 2 - 1) + "~" : type_name(probe / 2);
                if (probe == 0) {
                    name = "_p_";
                }
                for (auto &start : modules) {
                    swig_module_record *from = &start->record;
                    for (auto &stop : modules) {
                        swig_module_record *to = &stop->record;
                        if (from == to) {
                            continue;
                        }
                        ASSERT_EQ(find_type_by_name(from, to, name.c_str()),
                                  linear_search(from, to, name.c_str()))
                            << "round " << round << ", name " << name;
                    }
                }
            }
        }
    }
}

} // namespace
