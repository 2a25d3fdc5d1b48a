// orvo.field.geometry.linestring: LineStringRGJ and MultiLineStringRGJ.
//
// A line keeps a segment cache built from its vertices and answers repulsion
// vectors by projecting the query points onto its segments: through the
// kernel when each point picks its nearest segment, by its own clipped
// projection onto every segment otherwise. A multi-line is a line whose
// coordinates are a list of vertex arrays; segments never join two members.
#include "../native/layouts.hpp"
#include "../native/module.hpp"
#include "../native/segments.hpp"

namespace {

using namespace orvo::py;
using namespace orvo::geometry;
namespace mod = orvo::module;
namespace fast = orvo::fast;


constexpr std::array<Field, 5> line_fields = {{
    {"points_in_line_pair", Kind::Object, offsetof(LineStringObject, points_in_line_pair)},
    {"_p1", Kind::Object, offsetof(LineStringObject, _p1), true},
    {"_v", Kind::Object, offsetof(LineStringObject, _v), true},
    {"_v_dot_v", Kind::Object, offsetof(LineStringObject, _v_dot_v), true},
    {"lines_n", Kind::Index, offsetof(LineStringObject, lines_n)},
}};
constexpr std::array<Field, 0> no_fields{};
constexpr auto line_members = members_of<line_fields>();

constexpr ClassSpec LineStringRGJ_spec{"orvo.field.geometry.linestring.LineStringRGJ",
                                       "__pyx_unpickle_LineStringRGJ", line_fields, line_members,
                                       {0x6c1788e, 0xea76c65, 0x175d8fd}, sizeof(LineStringObject)};
constexpr ClassSpec MultiLineStringRGJ_spec{"orvo.field.geometry.linestring.MultiLineStringRGJ",
                                            "__pyx_unpickle_MultiLineStringRGJ", no_fields, line_members,
                                            {0x6c1788e, 0xea76c65, 0x175d8fd}, 0};

// Kept from load time: this module and the builtins `super` and `sum`.
PyObject* linestring_module = nullptr;
struct {
    PyObject* super_ = nullptr;
    PyObject* sum_ = nullptr;
} builtins;

Py_ssize_t lines_n(PyObject* self) { return reinterpret_cast<LineStringObject*>(self)->lines_n; }
void set_lines_n(PyObject* self, Py_ssize_t n) {
    count_store();
    reinterpret_cast<LineStringObject*>(self)->lines_n = n;
}
Ref method(PyObject* self, PyObject* name) { return Ref::borrow(self).attr(name); }

// ---------------------------------------------------------------------------
// LineStringRGJ

const Method line_init{{"__init__", {"coordinates", "repulsion"}, 1, true}, [](Call& c) {
    super_init(c, builtins.super_, Class<LineStringRGJ_spec>::type);
    method(c.self, "_build_segments"_id)();
    return none();
}};

const Method line_build_segments{{"_build_segments"}, [](Call& c) {
    Ref coordinates = get(c.self, &RGJObject::coordinates);
    set_lines_n(c.self, length(coordinates.get()) - 1);
    Ref head = Ref::own(PySequence_GetSlice(coordinates.get(), 0, -1));
    Ref tail = Ref::own(PySequence_GetSlice(coordinates.get(), 1, PY_SSIZE_T_MAX));
    Ref pairs = call(c.np("stack"_id).get(), {list(head, tail).get()},
                     {{"axis"_id, integer(1).get()}});
    set(c.self, &LineStringObject::points_in_line_pair, pairs);
    build_segment_cache<LineStringObject>(c, c.self);
    return none();
}, "Rebuild the segment cache from the vertices in `coordinates`."};

const Method line_set_coordinates{{"set_coordinates", {"new_coords"}, 1}, [](Call& c) {
    Ref::borrow(builtins.super_)(Class<LineStringRGJ_spec>::type, c.self).attr("set_coordinates"_id)(c[0]);
    method(c.self, "_build_segments"_id)();
    return none();
}, "Replace the vertices and rebuild the segment cache."};

const Method line_repulsion_vector{{"repulsion_vector", {"x", "min_dist_select"}, 1, true}, [](Call& c) {
    PyTypeObject* type = Py_TYPE(c.self);
    if (type == Class<LineStringRGJ_spec>::type || type == Class<MultiLineStringRGJ_spec>::type)
        if (Ref fast = fast_segment_vectors<LineStringObject>(c, lines_n(c.self) <= 0)) return fast;
    Ref x = c.np("atleast_2d"_id)(c[0]).attr("astype"_id)(c.np("float64"_id));
    if (lines_n(c.self) <= 0) return c.np("zeros"_id)(tuple(integer(length(x.get())), integer(2)));
    Ref p1 = get(c.self, &LineStringObject::_p1), v = get(c.self, &LineStringObject::_v);
    Ref vdv = get(c.self, &LineStringObject::_v_dot_v);
    if (!truth(c[1])) return all_segment_vectors(c, x, p1, v, vdv);
    return nearest_segment_vectors(c, x, p1, v, vdv);
}, "Vector from the nearest segment point to each query point (min_dist_select: nearest segment under "
   "the distance matrix), or from every segment, segment-major."};

// ---------------------------------------------------------------------------
// MultiLineStringRGJ

// [np.array(c, dtype=np.float64) for c in members]
Ref member_arrays(const Call& c, PyObject* members) {
    Ref f64 = c.np("float64"_id), array = c.np("array"_id);
    return map_list(members, [&](const Ref& m) { return call(array.get(), {m.get()}, {{"dtype"_id, f64.get()}}); });
}

// [f(c) for c in self.coordinates]
template <class F>
Ref per_member(PyObject* self, F&& f) {
    return map_list(get(self, &RGJObject::coordinates).get(), f);
}

// np.concatenate([np.array([c.min(0), c.max(0)]) for c in self.coordinates])
Ref member_boxes(const Call& c, PyObject* self) {
    Ref array = c.np("array"_id);
    Ref boxes = per_member(self, [&](const Ref& m) {
        return array(list(m.attr("min"_id)(integer(0)), m.attr("max"_id)(integer(0))));
    });
    return c.np("concatenate"_id)(boxes);
}

// __init__(coordinates, repulsion=None, properties=None, optional_dim=2, **kwargs)
const Method multiline_init{
    {"__init__", {"coordinates", "repulsion", "properties", "optional_dim"}, 1, true}, [](Call& c) {
        set(c.self, &RGJObject::coordinates, member_arrays(c, c[0]));
        Ref two = integer(2);
        init_repulsion_fields(c, c.self, c.get(1, Py_None), c.get(3, two.get()), c.get(2, Py_None));
        set(c.self, &RGJObject::bbox, member_boxes(c, c.self));
        method(c.self, "_build_segments"_id)();
        return none();
    }};

const Method multiline_set_coordinates{{"set_coordinates", {"new_coords"}, 1}, [](Call& c) {
    set(c.self, &RGJObject::coordinates, member_arrays(c, c[0]));
    set(c.self, &RGJObject::bbox, member_boxes(c, c.self));
    method(c.self, "_build_segments"_id)();
    return none();
}, "Replace the member vertex arrays, their boxes and the segment cache."};

const Method multiline_build_segments{{"_build_segments"}, [](Call& c) {
    Ref total = integer(0);
    for_each(get(c.self, &RGJObject::coordinates).get(),
             [&](const Ref& m) { total = total + integer(length(m.get()) - 1); });
    set_lines_n(c.self, to_index(total.get()));
    Ref pairs = per_member(c.self, [](const Ref& m) {
        Ref head = Ref::own(PySequence_GetSlice(m.get(), 0, -1));
        Ref tail = Ref::own(PySequence_GetSlice(m.get(), 1, PY_SSIZE_T_MAX));
        return list(head, tail);
    });
    Ref joined = call(c.np("concatenate"_id).get(), {pairs.get()}, {{"axis"_id, integer(1).get()}});
    set(c.self, &LineStringObject::points_in_line_pair, joined.attr("swapaxes"_id)(integer(0), integer(1)));
    build_segment_cache<LineStringObject>(c, c.self);
    return none();
}, "Rebuild the segment cache from the member vertex arrays; segments stay inside each member."};

const Method multiline_get_center_point{{"get_center_point"}, [](Call& c) {
    Ref shape = tuple(integer(-1), integer(2));
    Ref points = per_member(c.self, [&](const Ref& m) { return m.attr("reshape"_id)(shape); });
    Ref coords = call(c.np("concatenate"_id).get(), {points.get()}, {{"axis"_id, integer(0).get()}});
    return (coords.attr("min"_id)(integer(0)) + coords.attr("max"_id)(integer(0))) / number(2.0);
}, "Centre of the box around all vertices of all members."};

void linestring_exec(PyObject* module) {
    linestring_module = module;
    builtins.super_ = mod::builtin("super"_id).release();
    builtins.sum_ = mod::builtin("sum"_id).release();
    Ref base_module = Ref::own(PyImport_ImportModule("orvo.field.geometry.base"));
    Ref line = mod::create_class<LineStringRGJ_spec>(
        module, mod::import_base(base_module, "MultiRGJGeometry"), "LineStringRGJ",
        {{Py_tp_init, reinterpret_cast<void*>(init_slot<line_init, &linestring_module>)}});
    Ref multi = mod::create_class<MultiLineStringRGJ_spec>(
        module, line, "MultiLineStringRGJ",
        {{Py_tp_init, reinterpret_cast<void*>(init_slot<multiline_init, &linestring_module>)}});
    orvo::fast::capture_base(mod::import_base(base_module, "RGJGeometry").get());
    Ref np = Ref::own(PyImport_ImportModule("numpy"));
    mod::add(module, "np", np);
    Ref kernels = mod::import_from("orvo.field", "kernels"_id);
    mod::add(module, "kernels", kernels);
    orvo::fast::capture_numpy(np.get());
    orvo::fast::capture_kernels(kernels.get());

    mod::set_attr(line, "RGJType"_id, Ref::own(PyUnicode_FromString("LineString")));
    mod::add_method(module, line, line_build_segments);
    mod::add_method(module, line, line_set_coordinates);
    mod::add_method(module, line, line_repulsion_vector, tuple(Py_True).get());
    mod::add_pickle_methods<LineStringRGJ_spec>(module, line);

    mod::set_attr(multi, "RGJType"_id, Ref::own(PyUnicode_FromString("MultiLineString")));
    mod::add_method(module, multi, multiline_build_segments);
    mod::add_method(module, multi, multiline_set_coordinates);
    mod::add_method(module, multi, multiline_get_center_point);
    mod::add_pickle_methods<MultiLineStringRGJ_spec>(module, multi);

    join_registry(ModuleId::LineString, module);
    register_class(ClassId::LineString, line.get());
    register_class(ClassId::MultiLineString, multi.get());
    register_segment_classes<LineStringRGJ_spec, MultiLineStringRGJ_spec>(module);

    mod::add_restore_function<LineStringRGJ_spec>(module, line);
    mod::add_restore_function<MultiLineStringRGJ_spec>(module, multi);
    mod::add(module, "__test__", Ref::own(PyDict_New()));
}

}  // namespace

ORVO_FIELD_MODULE(linestring, "orvo.field.geometry.linestring", "LineStringRGJ / MultiLineStringRGJ.", linestring_exec)
