// The worst-case stack's call graph linked and solved natively: a build has tens of thousands of functions,
// nearly all on no cycle with a plain frame. Those are settled here, on the same lists the Python
// side reads; a recursion, an assumption or a frame of another kind goes back to Python, which
// alone knows the configuration's bounds.
#include "fast/stack_graph.hpp"

#include <cstddef>
#include <utility>
#include <vector>

namespace tarnwick {

namespace {

struct Lists {
    PyObject *calls, *frames, *qualifiers, *problems, *has_calls, *assumed_in;
    PyObject *worst, *bounded, *cause, *best, *assumed, *none, *settle;
    Py_ssize_t count;
};

// A list's item, borrowed; nullptr (ValueError) where the list is shorter than the graph.
PyObject* at(PyObject* list, Py_ssize_t index) noexcept {
    if (index < 0 || index >= PyList_GET_SIZE(list)) {
        PyErr_SetString(PyExc_ValueError, "solve_stack: a list is shorter than the graph");
        return nullptr;
    }
    return PyList_GET_ITEM(list, index);
}

bool put(PyObject* list, Py_ssize_t index, Ref value) noexcept {
    return value && PyList_SetItem(list, index, value.release()) == 0;  // steals, even on failure
}

// A call's callee: its place in the graph, or -1 where it is not a place (a text); -2 with the
// exception set where the call is no (callee, site) pair or the place is not the graph's.
Py_ssize_t callee_of(PyObject* call, Py_ssize_t count, bool exact, PyObject** target) noexcept {
    if (!PyTuple_Check(call) || PyTuple_GET_SIZE(call) != 2) {
        PyErr_SetString(PyExc_ValueError, "solve_stack: a call must be (callee, call site)");
        return -2;
    }
    *target = PyTuple_GET_ITEM(call, 0);
    if (exact ? !PyLong_CheckExact(*target) : !PyLong_Check(*target)) return -1;
    Py_ssize_t place = PyLong_AsSsize_t(*target);
    if (place == -1 && PyErr_Occurred()) return -2;
    if (place < 0 || place >= count) {
        PyErr_Format(PyExc_ValueError, "solve_stack: callee %zd is not a function of the graph", place);
        return -2;
    }
    return place;
}

PyObject* calls_of(const Lists& g, Py_ssize_t node) noexcept {
    PyObject* calls = at(g.calls, node);
    if (calls != nullptr && !PyList_Check(calls)) {
        PyErr_SetString(PyExc_ValueError, "solve_stack: a function's calls must be a list");
        return nullptr;
    }
    return calls;
}

// A function on no cycle with a plain frame, settled as _settle_one settles it: 1, or 0 where it
// is not that case, -1 on an error.
int settle_one(const Lists& g, Py_ssize_t node, PyObject* bounded_word, PyObject* zero) {
    Ref frame = Ref::borrow(at(g.frames, node));  // held: what settle_one compares may run Python code
    if (!frame) return -1;
    if (frame.get() == Py_None) return 0;
    PyObject* problem = at(g.problems, node);
    int truth = problem ? PyObject_IsTrue(problem) : -1;
    if (truth != 0) return truth > 0 ? 0 : -1;
    PyObject* has_calls = at(g.has_calls, node);
    truth = has_calls ? PyObject_IsTrue(has_calls) : -1;
    if (truth <= 0) return truth;
    PyObject* qualifier = at(g.qualifiers, node);
    if (qualifier == nullptr) return -1;
    if (!PyUnicode_Check(qualifier)) {
        PyErr_SetString(PyExc_ValueError, "solve_stack: a frame's qualifier must be a text");
        return -1;
    }
    if (PyUnicode_CompareWithASCIIString(qualifier, "static") != 0) {
        Py_ssize_t plain = PyUnicode_Tailmatch(qualifier, bounded_word, 0, PY_SSIZE_T_MAX, 1);
        if (plain <= 0) return plain < 0 ? -1 : 0;
    }
    PyObject* calls = calls_of(g, node);
    if (calls == nullptr) return -1;
    Ref deepest = Ref::borrow(zero), chosen = Ref::borrow(Py_None), rests = Ref::borrow(g.none);
    bool sure = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(calls); ++i) {
        Ref call = Ref::borrow(PyList_GET_ITEM(calls, i));
        PyObject* target = nullptr;
        Py_ssize_t place = callee_of(call.get(), g.count, true, &target);
        if (place == -2) return -1;
        PyObject* own_cause = at(g.cause, node);
        if (own_cause == nullptr) return -1;
        if (place < 0) {  // a call that reaches no function: its text is the cause
            if (sure && own_cause == Py_None) {
                Ref here = Ref::steal(PyLong_FromSsize_t(node));
                if (!here || !put(g.cause, node, Ref::steal(PyTuple_Pack(2, here.get(), target)))) return -1;
            }
            sure = false;
            continue;
        }
        Ref their_worst = Ref::borrow(at(g.worst, place));
        if (!their_worst) return -1;
        int deeper = PyObject_RichCompareBool(their_worst.get(), deepest.get(), Py_GT);
        if (deeper < 0) return -1;
        if (deeper) {
            deepest = std::move(their_worst);
            chosen = Ref::borrow(target);
        }
        Ref theirs = Ref::borrow(at(g.assumed, place));
        truth = theirs ? PyObject_IsTrue(theirs.get()) : -1;
        if (truth < 0) return -1;
        if (truth) {
            rests = Ref::steal(PyNumber_Or(rests.get(), theirs.get()));
            if (!rests) return -1;
        }
        PyObject* their_bound = at(g.bounded, place);
        truth = their_bound ? PyObject_IsTrue(their_bound) : -1;
        if (truth < 0) return -1;
        if (!truth) {
            if (sure && own_cause == Py_None) {
                PyObject* their_cause = at(g.cause, place);
                if (their_cause == nullptr || !put(g.cause, node, Ref::borrow(their_cause))) return -1;
            }
            sure = false;
        }
    }
    if (!put(g.worst, node, Ref::steal(PyNumber_Add(frame.get(), deepest.get()))) ||
        !put(g.bounded, node, Ref::borrow(sure ? Py_True : Py_False)) ||
        !put(g.best, node, std::move(chosen)) || !put(g.assumed, node, std::move(rests)))
        return -1;
    return 1;
}

bool hand_over(const Lists& g, const std::vector<Py_ssize_t>& component) {
    Ref members = Ref::steal(PyList_New(static_cast<Py_ssize_t>(component.size())));
    if (!members) return false;
    for (std::size_t i = 0; i < component.size(); ++i) {
        PyObject* place = PyLong_FromSsize_t(component[i]);
        if (place == nullptr) return false;
        PyList_SET_ITEM(members.get(), static_cast<Py_ssize_t>(i), place);  // steals place
    }
    return static_cast<bool>(Ref::steal(PyObject_CallOneArg(g.settle, members.get())));
}

bool solve(const Lists& g) {
    Ref bounded_word = Ref::steal(PyUnicode_FromString("bounded")), zero = Ref::steal(PyLong_FromLong(0));
    if (!bounded_word || !zero) return false;
    const Py_ssize_t count = g.count;
    // each function's callees (the places among its calls), in the order of its calls
    std::vector<std::size_t> first(static_cast<std::size_t>(count) + 1, 0);
    std::vector<Py_ssize_t> targets;
    for (Py_ssize_t node = 0; node < count; ++node) {
        PyObject* calls = calls_of(g, node);
        if (calls == nullptr) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(calls); ++i) {
            PyObject* target = nullptr;
            Py_ssize_t place = callee_of(PyList_GET_ITEM(calls, i), count, false, &target);
            if (place == -2) return false;
            if (place >= 0) targets.push_back(place);
        }
        first[static_cast<std::size_t>(node) + 1] = targets.size();
    }
    auto self_call = [&](Py_ssize_t node) {
        for (std::size_t i = first[static_cast<std::size_t>(node)]; i < first[static_cast<std::size_t>(node) + 1]; ++i)
            if (targets[i] == node) return true;
        return false;
    };
    std::vector<Py_ssize_t> order(static_cast<std::size_t>(count), -1), low(static_cast<std::size_t>(count), 0);
    std::vector<char> on_stack(static_cast<std::size_t>(count), 0);
    std::vector<Py_ssize_t> stack, component;
    struct Visit {
        Py_ssize_t node;
        std::size_t next;  // the next of its callees to look at
    };
    std::vector<Visit> walk;
    Py_ssize_t counter = 0;
    auto enter = [&](Py_ssize_t node) {
        auto n = static_cast<std::size_t>(node);
        order[n] = low[n] = counter++;
        stack.push_back(node);
        on_stack[n] = 1;
        walk.push_back({node, first[n]});
    };
    for (Py_ssize_t root = 0; root < count; ++root) {
        if (order[static_cast<std::size_t>(root)] >= 0) continue;
        enter(root);
        while (!walk.empty()) {
            Py_ssize_t node = walk.back().node;
            auto n = static_cast<std::size_t>(node);
            bool deeper = false;
            while (walk.back().next < first[n + 1]) {
                Py_ssize_t target = targets[walk.back().next++];
                auto t = static_cast<std::size_t>(target);
                if (order[t] < 0) {
                    enter(target);
                    deeper = true;
                    break;
                }
                if (on_stack[t] && order[t] < low[n]) low[n] = order[t];
            }
            if (deeper) continue;
            walk.pop_back();
            if (!walk.empty()) {
                auto parent = static_cast<std::size_t>(walk.back().node);
                if (low[n] < low[parent]) low[parent] = low[n];
            }
            if (low[n] != order[n]) continue;
            component.clear();
            if (stack.back() == node) {  // on no cycle: the common case
                stack.pop_back();
                on_stack[n] = 0;
                PyObject* own = at(g.assumed_in, node);
                int assumes = own ? PyObject_IsTrue(own) : -1;
                if (assumes < 0) return false;
                int settled = assumes || self_call(node) ? 0 : settle_one(g, node, bounded_word.get(), zero.get());
                if (settled < 0) return false;
                if (settled) continue;
                component.push_back(node);
            } else {
                while (true) {
                    Py_ssize_t member = stack.back();
                    stack.pop_back();
                    on_stack[static_cast<std::size_t>(member)] = 0;
                    component.push_back(member);
                    if (member == node) break;
                }
            }
            if (!hand_over(g, component)) return false;
        }
    }
    return true;
}

}  // namespace

namespace {

// A place from `places` or `by_name`: an int within the graph's calls, else ValueError.
bool place_in(PyObject* value, Py_ssize_t count, Py_ssize_t& place) noexcept {
    if (!PyLong_Check(value)) {
        PyErr_SetString(PyExc_ValueError, "link_calls: a place must be an int");
        return false;
    }
    place = PyLong_AsSsize_t(value);
    if (place == -1 && PyErr_Occurred()) return false;
    if (place < 0 || place >= count) {
        PyErr_Format(PyExc_ValueError, "link_calls: place %zd is not a function of the graph", place);
        return false;
    }
    return true;
}

// The callee's place as an int object, or None: in the unit, else the one global of its name,
// else as global_named finds it (among several, or none).
Ref callee_place(PyObject* callee, PyObject* places, PyObject* by_name, PyObject* global_named) {
    PyObject* found = PyDict_GetItemWithError(places, callee);  // borrowed
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref();
    PyObject* listed = PyDict_GetItemWithError(by_name, callee);  // borrowed
    if (listed == nullptr && PyErr_Occurred()) return Ref();
    if (listed != nullptr && !PyList_Check(listed)) {
        PyErr_SetString(PyExc_ValueError, "link_calls: by_name must map names to lists of places");
        return Ref();
    }
    if (listed != nullptr && PyList_GET_SIZE(listed) == 1) return Ref::borrow(PyList_GET_ITEM(listed, 0));
    return Ref::steal(PyObject_CallOneArg(global_named, callee));
}

bool append_call(PyObject* calls, Py_ssize_t source, Ref target, PyObject* site) {
    if (!target) return false;
    Ref row = Ref::steal(PyTuple_Pack(2, target.get(), site));
    return row && PyList_Append(PyList_GET_ITEM(calls, source), row.get()) == 0;
}

}  // namespace

PyObject* link_calls(PyObject*, PyObject* args) {
    PyObject *unit_calls, *places, *by_name, *calls, *indirect, *global_named;
    if (!PyArg_ParseTuple(args, "O!O!O!O!UO:link_calls", &PyList_Type, &unit_calls, &PyDict_Type, &places,
                          &PyDict_Type, &by_name, &PyList_Type, &calls, &indirect, &global_named))
        return nullptr;
    Ref held[] = {Ref::borrow(unit_calls), Ref::borrow(places), Ref::borrow(by_name), Ref::borrow(calls),
                  Ref::borrow(indirect), Ref::borrow(global_named)};  // global_named may run any code
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(unit_calls); ++i) {
        Ref edge = Ref::borrow(PyList_GET_ITEM(unit_calls, i));
        if (!PyTuple_Check(edge.get()) || PyTuple_GET_SIZE(edge.get()) != 3 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(edge.get(), 1))) {
            PyErr_SetString(PyExc_ValueError, "link_calls: a call must be (caller, callee text, call site)");
            return nullptr;
        }
        PyObject *caller = PyTuple_GET_ITEM(edge.get(), 0), *callee = PyTuple_GET_ITEM(edge.get(), 1),
                 *site = PyTuple_GET_ITEM(edge.get(), 2);
        PyObject* from = PyDict_GetItemWithError(places, caller);  // borrowed
        if (from == nullptr) {
            if (PyErr_Occurred()) return nullptr;
            continue;
        }
        Py_ssize_t source = 0;
        if (!place_in(from, PyList_GET_SIZE(calls), source)) return nullptr;
        if (!PyList_Check(PyList_GET_ITEM(calls, source))) {
            PyErr_SetString(PyExc_ValueError, "link_calls: a function's calls must be a list");
            return nullptr;
        }
        int through = PyUnicode_Compare(callee, indirect);
        if (through == -1 && PyErr_Occurred()) return nullptr;
        Ref target = through == 0 ? Ref::steal(PyUnicode_FromFormat("calls through a pointer at %S", site))
                                  : callee_place(callee, places, by_name, global_named);
        if (target && through != 0 && target.get() == Py_None)
            target = Ref::steal(PyUnicode_FromFormat("calls %U, which has no stack information", callee));
        if (!append_call(calls, source, std::move(target), site)) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* index_names(PyObject*, PyObject* args) {
    PyObject *by_name, *names, *locals;
    Py_ssize_t start = 0;
    if (!PyArg_ParseTuple(args, "O!OOn:index_names", &PyDict_Type, &by_name, &names, &locals, &start)) return nullptr;
    Ref name_list = Ref::steal(PySequence_Fast(names, "index_names: names must be a sequence"));
    Ref local_list = Ref::steal(PySequence_Fast(locals, "index_names: locals must be a sequence"));
    if (!name_list || !local_list) return nullptr;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(name_list.get());
    if (PySequence_Fast_GET_SIZE(local_list.get()) != count) {
        PyErr_SetString(PyExc_ValueError, "index_names: names and locals differ in length");
        return nullptr;
    }
    PyObject **name_items = PySequence_Fast_ITEMS(name_list.get()), **local_items = PySequence_Fast_ITEMS(local_list.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        int local = PyObject_IsTrue(local_items[i]);
        if (local < 0) return nullptr;
        if (local) continue;
        Ref place = Ref::steal(PyLong_FromSsize_t(start + i));
        if (!place) return nullptr;
        PyObject* listed = PyDict_GetItemWithError(by_name, name_items[i]);  // borrowed
        if (listed == nullptr) {
            if (PyErr_Occurred()) return nullptr;
            Ref fresh = Ref::steal(PyList_New(1));
            if (!fresh) return nullptr;
            PyList_SET_ITEM(fresh.get(), 0, place.release());  // steals place
            if (PyDict_SetItem(by_name, name_items[i], fresh.get()) < 0) return nullptr;
        } else if (!PyList_Check(listed) || PyList_Append(listed, place.get()) < 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "index_names: by_name must map names to lists");
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* solve_stack(PyObject*, PyObject* args) {
    Lists g{};
    if (!PyArg_ParseTuple(args, "O!O!O!O!O!O!O!O!O!O!O!OO:solve_stack", &PyList_Type, &g.calls, &PyList_Type,
                          &g.frames, &PyList_Type, &g.qualifiers, &PyList_Type, &g.problems, &PyList_Type,
                          &g.has_calls, &PyList_Type, &g.assumed_in, &PyList_Type, &g.worst, &PyList_Type,
                          &g.bounded, &PyList_Type, &g.cause, &PyList_Type, &g.best, &PyList_Type, &g.assumed,
                          &g.none, &g.settle))
        return nullptr;
    if (!PyCallable_Check(g.settle)) {
        PyErr_SetString(PyExc_TypeError, "solve_stack: settle must be callable");
        return nullptr;
    }
    g.count = PyList_GET_SIZE(g.calls);
    // the lists are held while settle runs: it may not let them go
    Ref held[] = {Ref::borrow(g.calls), Ref::borrow(g.frames), Ref::borrow(g.qualifiers), Ref::borrow(g.problems),
                  Ref::borrow(g.has_calls), Ref::borrow(g.assumed_in), Ref::borrow(g.worst), Ref::borrow(g.bounded),
                  Ref::borrow(g.cause), Ref::borrow(g.best), Ref::borrow(g.assumed), Ref::borrow(g.none),
                  Ref::borrow(g.settle)};
    if (!solve(g)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace tarnwick
