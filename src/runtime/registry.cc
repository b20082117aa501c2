// The process-wide type registry: the capsule that anchors the chain of module records, the
// join and merge each module runs once at start-up, the cast search, class data propagation and
// the capsule's teardown.
//
// Who writes which shared field, when and under which lock: the map in swig_runtime.h.
#include "swig_runtime.h"

#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

swig_module_record *type_pointer = nullptr;
PyObject *swig_this = nullptr;

namespace {

// The most records a walk of the chain follows. Far beyond any real process (each module of
// the family adds one), and short enough that a ring that never comes back ends at once.
constexpr std::uint64_t max_chain_length = 1u << 16;

// Puts `entry` at the head of `type`'s cast list. The entry's prev_cast stays as it is: null in
// the static data, and every entry is linked at most once.
void link_at_head(swig_type *type, swig_cast *entry) {
    if (type->cast_list) {
        type->cast_list->prev_cast = entry;
        entry->next_cast = type->cast_list;
    }
    type->cast_list = entry;
}

// How the merge finds a name among the modules that joined before: the record the walk of
// find_type_by_name from the joining module's successor would find first.
struct name_lookup {
    virtual swig_type *find(const char *name) const = 0;
};

// The walk itself: a binary search of every other module, most recently joined first.
struct walk_lookup final : name_lookup {
    swig_module_record *others;
    swig_module_record *module;
    walk_lookup(swig_module_record *o, swig_module_record *m) : others(o), module(m) {}
    swig_type *find(const char *name) const override {
        return find_type_by_name(others, module, name);
    }
};

// The index of the call table, which knows what that walk would find.
struct index_lookup final : name_lookup {
    const shared_call_table &table;
    swig_module_record *head;
    index_lookup(const shared_call_table &t, swig_module_record *h) : table(t), head(h) {}
    swig_type *find(const char *name) const override { return table.index_find(head, name); }
};

void merge_types(swig_module_record *module, const name_lookup *others);

// The call table when it carries the name index; null for a table anchored by a copy that
// lacks it (its joins then walk, and so do ours).
const shared_call_table *indexing_table() {
    const shared_call_table &table = call_table();
    return table.size >= offsetof(shared_call_table, index_note) + sizeof(table.index_note)
               ? &table
               : nullptr;
}

// ---------------------------------------------------------------------------------------------
// The name index. For each chain (by its head), every name a walk of the chain can find, with
// the record the walk finds first: a walk from a joining module's successor visits the modules
// in reverse order of joining and the head last, so the last module noted under a name wins.
// A module the index was not told of (a copy without the index joined) is seen at the next
// index_ready, as the head's successor is then not the module the index noted last.

struct chain_index {
    const swig_module_record *last = nullptr; // the head's successor the names are current for
    // Keyed by the names' own text: static data of modules, which live as long as the process.
    std::unordered_map<std::string_view, swig_type *> names;
};

std::unordered_map<const swig_module_record *, chain_index> &chain_indexes() {
    // Never destroyed: a module may start while the process exits.
    static auto *indexes = new std::unordered_map<const swig_module_record *, chain_index>();
    return *indexes;
}

// Adds every name a binary search of `module` finds, the record it finds, replacing what an
// earlier module gave (`replace`) or not.
void index_module(chain_index &index, const swig_module_record *module, bool replace) {
    for (std::uint64_t i = 0; i < module->type_count; ++i) {
        const swig_type *slot = module->type_array[i];
        if (!slot || !slot->mangled_name) {
            continue;
        }
        // An unsorted table may hide a name from the search: the index hides it too.
        swig_type *found = find_type_in_module(module, slot->mangled_name);
        if (!found) {
            continue;
        }
        auto [entry, added] = index.names.try_emplace(slot->mangled_name, found);
        if (!added && replace) {
            entry->second = found;
        }
    }
}

} // namespace

int own_index_ready(swig_module_record *head) noexcept {
    try {
        chain_index &index = chain_indexes()[head];
        if (index.last && index.last == head->next_module) {
            return 1;
        }
        // Made again from one walk, most recent module first, as the merge's walk goes; it
        // must come back to the head, or the chain is no chain.
        index.last = nullptr;
        index.names.clear();
        std::unordered_set<const swig_module_record *> visited;
        swig_module_record *iter = head->next_module;
        while (true) {
            if (!iter || !visited.insert(iter).second) {
                index.names.clear();
                return 0;
            }
            index_module(index, iter, false);
            if (iter == head) {
                break;
            }
            iter = iter->next_module;
        }
        index.last = head->next_module;
        return 1;
    } catch (const std::bad_alloc &) {
        chain_indexes().erase(head);
        return 0;
    }
}

swig_type *own_index_find(swig_module_record *head, const char *name) noexcept {
    auto &indexes = chain_indexes();
    const auto index = indexes.find(head);
    if (index == indexes.end()) {
        return nullptr;
    }
    const auto found = index->second.names.find(name);
    return found == index->second.names.end() ? nullptr : found->second;
}

void own_index_note(swig_module_record *head, swig_module_record *module) noexcept {
    auto &indexes = chain_indexes();
    const auto found = indexes.find(head);
    if (found == indexes.end()) {
        return;
    }
    chain_index &index = found->second;
    // Only a module linked right after the head, into the chain as the index knew it.
    if (!index.last || head->next_module != module || module->next_module != index.last) {
        index.last = nullptr;
        return;
    }
    try {
        index_module(index, module, true);
        index.last = module;
    } catch (const std::bad_alloc &) {
        index.last = nullptr; // made again at the next join
    }
}

swig_module_record *SWIG_Python_GetModule() {
    if (type_pointer) {
        return type_pointer;
    }
    // Looked up where PyCapsule_Import would find it, but without the import system: only a
    // clear "not there" (no data module, no attribute, not a capsule of the registry's name)
    // leads the caller to publish a chain of its own. Any failure of the lookup itself (out of
    // memory, a sys.modules that refuses the lookup) stays pending instead: publishing over a
    // registry that could not be looked at would tear down its registrations. Only the name
    // is checked, never the records behind it.
    PyObject *data_module = nullptr;
    if (PyMapping_GetOptionalItemString(PyImport_GetModuleDict(), swig_runtime_data_module,
                                        &data_module) <= 0) {
        return nullptr;
    }
    PyObject *capsule = nullptr;
    const int found =
        PyObject_GetOptionalAttrString(data_module, swig_capsule_attribute, &capsule);
    Py_DECREF(data_module);
    if (found <= 0) {
        return nullptr;
    }
    if (PyCapsule_IsValid(capsule, swig_capsule_name)) {
        type_pointer =
            static_cast<swig_module_record *>(PyCapsule_GetPointer(capsule, swig_capsule_name));
    }
    Py_DECREF(capsule);
    return type_pointer;
}

int publish_module() {
    // Borrowed; PyImport_AddModule creates the module when sys.modules lacks it.
    PyObject *data_module = PyImport_AddModule(swig_runtime_data_module);
    if (!data_module) {
        return -1;
    }
    PyObject *capsule = PyCapsule_New(&swig_module, swig_capsule_name, SWIG_Python_DestroyModule);
    if (!capsule) {
        return -1;
    }
    const int added = PyModule_AddObjectRef(data_module, swig_capsule_attribute, capsule);
    if (added < 0) {
        // A capsule that was never published must not tear down the class data of a chain it
        // never anchored: releasing it runs no destructor.
        PyCapsule_SetDestructor(capsule, nullptr);
    }
    Py_DECREF(capsule);
    return added;
}

void join_registry() {
    const bool first_join = swig_module.next_module == nullptr;
    swig_module_record *head = SWIG_Python_GetModule();
    if (PyErr_Occurred()) {
        return; // nothing changed: the next start-up joins afresh
    }
    if (first_join) {
        swig_module.initial_types = swig_type_initial;
        swig_module.initial_casts = swig_cast_initial;
        swig_module.next_module = &swig_module;
    }

    // A first join into a chain the index knows links in without a walk (a module whose link
    // was null cannot be in any chain yet) and merges through the index.
    const shared_call_table *table = first_join && head ? indexing_table() : nullptr;
    if (table && table->index_ready(head)) {
        swig_module.next_module = head->next_module;
        head->next_module = &swig_module;
        const index_lookup others(*table, head);
        merge_types(&swig_module, &others);
        table->index_note(head, &swig_module);
        return;
    }
    if (!head) {
        if (publish_module() < 0) {
            // Not joined: the next start-up is a first join again, merge included.
            if (first_join) {
                swig_module.next_module = nullptr;
            }
            return;
        }
    } else {
        swig_module_record *iter = head;
        std::uint64_t walked = 0;
        do {
            if (iter == &swig_module) {
                return; // already in the chain: no merge, whatever the first-join test said
            }
            iter = iter->next_module;
        } while (iter && iter != head && ++walked < max_chain_length);
        // A chain that ends in a null link or loops without coming back to the head is no
        // usable chain. The module neither links into it nor replaces its capsule (releasing
        // that would tear down the registrations of the modules still on it): it keeps its
        // chain of one and its own types.
        if (iter == head) {
            swig_module.next_module = head->next_module;
            head->next_module = &swig_module;
        }
    }

    if (first_join) {
        merge_module_types(&swig_module);
    }
}

void merge_module_types(swig_module_record *module) {
    // Read once: the successor of `module` starts the search, which walks the other modules in
    // reverse order of joining and ends with the head.
    swig_module_record *others = module->next_module;
    const walk_lookup walk(others, module);
    merge_types(module, others == module ? nullptr : &walk);
}

namespace {

// The merge, with `others` finding names among the modules that joined before (null: the
// module is alone and searches nothing).
void merge_types(swig_module_record *module, const name_lookup *others) {
    const bool alone = others == nullptr;
    for (std::uint64_t i = 0; i < module->type_count; ++i) {
        swig_type *own = module->initial_types[i];
        swig_type *chosen = own;
        if (!alone) {
            swig_type *found = others->find(own->mangled_name);
            if (found) {
                if (own->class_data) {
                    found->class_data = own->class_data;
                }
                chosen = found;
            }
        }

        for (swig_cast *entry = module->initial_casts[i]; entry->source_type; ++entry) {
            swig_type *ret = nullptr;
            if (!alone) {
                ret = others->find(entry->source_type->mangled_name);
            }
            if (ret && chosen == own) {
                entry->source_type = ret;
                link_at_head(chosen, entry);
            } else if (ret) {
                // The adopted list may already accept that type; find_cast then moves the
                // existing entry to the front and this one stays unlinked.
                if (!find_cast(chosen, ret->mangled_name)) {
                    link_at_head(chosen, entry);
                }
            } else {
                link_at_head(chosen, entry);
            }
        }
        module->type_array[i] = chosen;
    }
    module->type_array[module->type_count] = nullptr;
}

} // namespace

swig_type *find_type_in_module(const swig_module_record *module, const char *name) {
    if (module->type_count == 0) {
        return nullptr;
    }
    // Each module's types are sorted by mangled name (the merge fills type_array slot for slot
    // from the sorted initial table).
    std::uint64_t lo = 0;
    std::uint64_t hi = module->type_count - 1;
    do {
        const std::uint64_t mid = (lo + hi) >> 1;
        const swig_type *probe = module->type_array[mid];
        // A slot that is not filled yet (a module torn down before its merge) holds no name.
        if (!probe || !probe->mangled_name) {
            break;
        }
        const int order = std::strcmp(name, probe->mangled_name);
        if (order == 0) {
            return const_cast<swig_type *>(probe);
        }
        if (order < 0) {
            if (mid == 0) {
                break;
            }
            hi = mid - 1;
        } else {
            lo = mid + 1;
        }
    } while (lo <= hi);
    return nullptr;
}

swig_type *find_type_by_name(swig_module_record *start, swig_module_record *stop,
                             const char *name) {
    std::uint64_t walked = 0;
    for (swig_module_record *iter = start; iter && iter != stop && walked < max_chain_length;
         iter = iter->next_module, ++walked) {
        if (swig_type *found = find_type_in_module(iter, name)) {
            return found;
        }
    }
    return nullptr;
}

swig_cast *find_cast(swig_type *type, const char *name) {
    swig_cast *head = type->cast_list;
    for (swig_cast *entry = head; entry; entry = entry->next_cast) {
        if (std::strcmp(entry->source_type->mangled_name, name) != 0) {
            continue;
        }
        // Move to front, so that repeated conversions of one source type match first.
        if (entry != head) {
            entry->prev_cast->next_cast = entry->next_cast;
            if (entry->next_cast) {
                entry->next_cast->prev_cast = entry->prev_cast;
            }
            entry->next_cast = head;
            entry->prev_cast = nullptr;
            head->prev_cast = entry;
            type->cast_list = entry;
        }
        return entry;
    }
    return nullptr;
}

void SWIG_TypeClientData(swig_type *type, swig_class_data *class_data) {
    // The type gets the record before its list is walked, so its own entry ends the recursion
    // and no type is entered twice.
    type->class_data = class_data;
    for (swig_cast *entry = type->cast_list; entry; entry = entry->next_cast) {
        if (!entry->convert_fn && !entry->source_type->class_data) {
            SWIG_TypeClientData(entry->source_type, class_data);
        }
    }
}

bool class_data_in_use(const swig_class_data *data) {
    const auto holds = [data](const swig_module_record *module) {
        for (std::uint64_t i = 0; i < module->type_count; ++i) {
            const swig_type *merged = module->type_array[i];
            const swig_type *initial = module->initial_types ? module->initial_types[i] : nullptr;
            if ((merged && merged->class_data == data) ||
                (initial && initial->class_data == data)) {
                return true;
            }
        }
        return false;
    };
    // Every module of this module's ring (which holds the head it joined, or is the chain it
    // published: the head's type_pointer stays null), then the chain of the capsule as last
    // imported, should that be another. Cast entries point only at records these arrays hold.
    const auto ring_holds = [&holds](swig_module_record *start) {
        swig_module_record *iter = start;
        for (std::uint64_t walked = 0; iter && walked < max_chain_length; ++walked) {
            if (holds(iter)) {
                return true;
            }
            iter = iter->next_module;
            if (iter == start) {
                break;
            }
        }
        return false;
    };
    return ring_holds(&swig_module) || (type_pointer && ring_holds(type_pointer));
}

void SWIG_Python_DestroyModule(PyObject *capsule) {
    // Checked without raising: a destructor must not leave an exception behind.
    if (PyCapsule_IsValid(capsule, swig_capsule_name)) {
        auto *head =
            static_cast<swig_module_record *>(PyCapsule_GetPointer(capsule, swig_capsule_name));
        // Only the head module's own slots: class data reachable only through other modules'
        // arrays keeps its references.
        for (std::uint64_t i = 0; i < head->type_count; ++i) {
            swig_type *type = head->type_array[i];
            if (type && type->owns_class_data && type->class_data) {
                swig_class_data *data = type->class_data;
                // Given back once: a later capsule over the same records (the entry run again
                // after this teardown publishes one) finds the type no longer owning them.
                type->owns_class_data = 0;
                Py_XDECREF(data->new_hook);
                Py_XDECREF(data->new_call_args);
                Py_XDECREF(data->destroy_hook);
            }
        }
    }
    Py_CLEAR(swig_this);
}

PyObject *swig_this_name() {
    if (!swig_this) {
        swig_this = PyUnicode_FromString("this");
    }
    return swig_this;
}
