// orvo.field.geometry.linestring: LineStringRGJ and MultiLineStringRGJ.
//
// A line keeps a segment cache built from its vertices and answers repulsion
// vectors by projecting the query points onto its segments: through the
// kernel when each point picks its nearest segment, by its own clipped
// projection onto every segment otherwise. A multi-line is a line whose
// coordinates are a list of vertex arrays; segments never join two members.
#include "native/layouts.hpp"
#include "native/module.hpp"
#include "native/segments.hpp"

namespace {

using namespace orvo::py;
using namespace orvo::geometry;
namespace mod = orvo::module;


Py_ssize_t lines_n(PyObject* self) { return reinterpret_cast<LineStringObject*>(self)->lines_n; }
void set_lines_n(PyObject* self, Py_ssize_t n) {
    count_store();
    reinterpret_cast<LineStringObject*>(self)->lines_n = n;
}
bool no_segment(PyObject* self) { return lines_n(self) <= 0; }
Ref method(PyObject* self, PyObject* name) { return Ref::borrow(self).attr(name); }

// np.stack([a[:-1], a[1:]], axis=1): each vertex with the next.
Ref vertex_pairs(const Call& c, const Ref& vertices, int axis) {
    Ref head = Ref::own(PySequence_GetSlice(vertices.get(), 0, -1));
    Ref tail = Ref::own(PySequence_GetSlice(vertices.get(), 1, PY_SSIZE_T_MAX));
    Ref stack = c.np("stack"_id);
    return call(stack.get(), {list(head, tail).get()}, {{"axis"_id, integer(axis).get()}});
}

// ---------------------------------------------------------------------------
// LineStringRGJ

const Method line_init{{"__init__", {"coordinates", "repulsion"}, 1, true}, [](Call& c) {
    super_init(c, mod::builtins.super, type_of(ClassId::LineString));
    method(c.self, "_build_segments"_id)();
    return none();
}};

const Method line_build_segments{{"_build_segments"}, [](Call& c) {
    Ref coordinates = get(c.self, &RGJObject::coordinates);
    set_lines_n(c.self, length(coordinates.get()) - 1);
    store_slot(segment_fields<LineStringObject>(c.self).points_in_line_pair, vertex_pairs(c, coordinates, 1));
    build_segment_cache<LineStringObject>(c, c.self);
    return none();
}, "Rebuild the segment cache from the vertices in `coordinates`."};

const Method line_set_coordinates{{"set_coordinates", {"new_coords"}, 1}, [](Call& c) {
    Ref::borrow(mod::builtins.super)(type_of(ClassId::LineString), c.self).attr("set_coordinates"_id)(c[0]);
    method(c.self, "_build_segments"_id)();
    return none();
}, "Replace the vertices and rebuild the segment cache."};

const Method line_repulsion_vector{{"repulsion_vector", {"x", "min_dist_select"}, 1, true,
                                   {Default::True}}, [](Call& c) {
    const bool exact = exactly(c.self, ClassId::LineString) || exactly(c.self, ClassId::MultiLineString);
    return cache_repulsion_vector<LineStringObject>(c, exact, no_segment, RowCount::Len);
}, "Vector from the nearest segment point to each query point (min_dist_select: nearest segment under "
   "the distance matrix), or from every segment, segment-major."};

// ---------------------------------------------------------------------------
// MultiLineStringRGJ

// [np.array(c, dtype=np.float64) for c in members]
Ref member_arrays(const Call& c, PyObject* members) {
    return map_list(members, [&](const Ref& m) { return float64_array(c, m.get()); });
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
        Ref low = m.attr("min"_id)(integer(0));
        Ref high = m.attr("max"_id)(integer(0));
        return array(list(low, high));
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
    Ref concatenate = c.np("concatenate"_id);
    Ref joined = call(concatenate.get(), {pairs.get()}, {{"axis"_id, integer(1).get()}});
    store_slot(segment_fields<LineStringObject>(c.self).points_in_line_pair,
               joined.attr("swapaxes"_id)(integer(0), integer(1)));
    build_segment_cache<LineStringObject>(c, c.self);
    return none();
}, "Rebuild the segment cache from the member vertex arrays; segments stay inside each member."};

const Method multiline_get_center_point{{"get_center_point"}, [](Call& c) {
    Ref shape = tuple(integer(-1), integer(2));
    Ref points = per_member(c.self, [&](const Ref& m) { return m.attr("reshape"_id)(shape); });
    Ref concatenate = c.np("concatenate"_id);
    Ref coords = call(concatenate.get(), {points.get()}, {{"axis"_id, integer(0).get()}});
    Ref low = coords.attr("min"_id)(integer(0));
    Ref high = coords.attr("max"_id)(integer(0));
    return (low + high) / number(2.0);
}, "Centre of the box around all vertices of all members."};

constexpr const Method* line_methods[] = {&line_build_segments, &line_set_coordinates, &line_repulsion_vector};
constexpr const Method* multiline_methods[] = {&multiline_build_segments, &multiline_set_coordinates,
                                               &multiline_get_center_point};

constexpr ClassSpec LineStringRGJ_spec{
    .name = "orvo.field.geometry.linestring.LineStringRGJ", .rgj_type = "LineString", .id = ClassId::LineString,
    .base = "MultiRGJGeometry", .fields = line_fields, .inherited = {}, .init = &line_init, .methods = line_methods,
    .checksums = {0x6c1788e, 0xea76c65, 0x175d8fd}, .on_dealloc = forget_own_index};
constexpr ClassSpec MultiLineStringRGJ_spec{
    .name = "orvo.field.geometry.linestring.MultiLineStringRGJ", .rgj_type = "MultiLineString",
    .id = ClassId::MultiLineString, .base = nullptr, .fields = {}, .inherited = line_fields, .init = &multiline_init,
    .methods = multiline_methods, .checksums = {0x6c1788e, 0xea76c65, 0x175d8fd}, .on_dealloc = forget_own_index};

void linestring_exec(PyObject* module) {
    mod::load_geometry_module<LineStringRGJ_spec, MultiLineStringRGJ_spec>(
        module, {.id = ModuleId::LineString, .builtins = {"super", "sum"}, .kernels = true,
                 .extra = register_segment_module});
}

}  // namespace

ORVO_FIELD_MODULE(linestring, "orvo.field.geometry.linestring", "LineStringRGJ / MultiLineStringRGJ.", linestring_exec)
