"""The registry as text: the inspector's full listing and the main job's brief one."""

from __future__ import annotations

from kivotools.registry._records import CAPSULE_NAME
from kivotools.registry._snapshot import Snapshot


def summary_lines(snap: Snapshot, *, brief: bool = False) -> list[str]:
    """A readable summary of `snap`, one line per item.

    In full: each module, then each of its types with its sharing, cast list and class. With
    `brief`: one line per module listing its types, as the main job shows it.
    """
    if brief:
        return _brief_lines(snap)
    if not snap.capsule_found:
        lines = [f"no registry: {CAPSULE_NAME} not found"]
        return lines + [f"problem: {p}" for p in snap.problems]
    # How many modules hold each type record in their type array, and whose static data each
    # shared record is: counted once, so the listing grows with the registry, not its square.
    holders: dict[int, int] = {}
    for module in snap.modules:
        for t in module.types:
            holders[t.address] = holders.get(t.address, 0) + 1
    lines = [f"registry {CAPSULE_NAME}: {len(snap.modules)} module(s), head first"]
    for index, module in enumerate(snap.modules, 1):
        head = " (head)" if module.is_head else ""
        name = module.name or module.library or "unknown module"
        lines.append(f"module {index}{head}: {name} at {module.address:#x}")
        if len(module.types) < module.type_count:
            missing = module.type_count - len(module.types)
            lines.append(
                f"  ({missing} of {module.type_count} slots cannot be read: see problems)"
            )
        for t in module.types:
            pretty = f' "{t.pretty_name}"' if t.pretty_name is not None else " (no pretty name)"
            mangled = t.mangled_name if t.mangled_name is not None else "<unreadable name>"
            lines.append(f"  [{t.slot}] {mangled}{pretty} at {t.address:#x}")
            if t.shared:
                # The record is static data of the module that joined first.
                owner = f"; the record is {t.record_module}'s" if t.record_module else ""
                lines.append(f"      shared by {holders.get(t.address, 0)} modules{owner}")
            casts = ", ".join(
                f"{c.source_mangled_name or '<unreadable type>'}"
                f"{' (converter)' if c.has_converter else ' (no converter)'}"
                for c in t.casts
            )
            lines.append(f"      cast list: {casts or 'empty'}")
            if t.registration:
                r = t.registration
                owner = "registered here" if t.owns_class_data else "spread from another type"
                hook = r.destroy_hook_repr or "none (owned tools are leaked)"
                lines.append(f"      class: {r.class_name or r.class_repr} ({owner})")
                lines.append(
                    f"      destroy hook: {hook}, called with a temporary wrapped pointer: "
                    f"{'yes' if r.destroy_takes_args else 'no'}"
                )
            elif t.class_data_set:
                lines.append("      class: registration record cannot be read (see problems)")
    table = snap.call_table
    if table is not None:
        owner = table.name or table.library or "unknown module"
        lines.append(
            f"call table: version {table.version}, {table.size} bytes, {owner}'s at "
            f"{table.address:#x}"
        )
    lines.extend(f"problem: {p}" for p in snap.problems)
    return lines


def _brief_lines(snap: Snapshot) -> list[str]:
    if not snap.capsule_found:
        return ["no registry found"]
    modules = len(snap.modules)
    lines = [f"{modules} module{'s' if modules != 1 else ''} in the chain, head first"]
    for module in snap.modules:
        name = module.name or module.library or f"module at {module.address:#x}"
        types = []
        for t in module.types:
            item = t.mangled_name or f"<unnamed type at {t.address:#x}>"
            if t.shared:
                item += " (shared)"
            if t.registration is not None and t.owns_class_data:
                item += f" -> class {t.registration.class_name or t.registration.class_repr}"
            types.append(item)
        head = " (head)" if module.is_head else ""
        lines.append(f"{name}{head}: {', '.join(types) or 'no types'}")
    lines.extend(f"problem: {p}" for p in snap.problems)
    return lines
