// _shapes: a module of the kivotools family declared with the binding layer. Its shapes derive
// from two bases; the second sits at a non-zero offset inside each shape.
#include "kivotools/layer.h"

#include <stdexcept>
#include <string>

namespace shapes {

struct named {
    virtual ~named() = default;
    std::string name;
    std::string describe() const { return "a " + name; }
};

struct measured {
    virtual ~measured() = default;
    virtual double area() const = 0;
};

struct rectangle : named, measured {
    rectangle(double width, double height) : width(width), height(height) {
        if (width < 0 || height < 0) {
            throw std::invalid_argument("a side cannot be negative");
        }
        name = "rectangle";
    }
    double area() const override { return width * height; }
    double width, height;
};

struct square : rectangle {
    explicit square(double side) : rectangle(side, side) { name = "square"; }
};

// Any two shapes, through their second base.
bool larger(const measured &a, const measured &b) {
    return a.area() > b.area();
}

} // namespace shapes

namespace kt = kivotools;
using namespace shapes;

KIVOTOOLS_MODULE(_shapes, m) {
    m.doc("Shapes with a name and an area.");
    kt::class_<named>(m, "Named", "Something with a name.")
        .def("describe", &named::describe, kt::keep_lock)
        .def_rw("name", &named::name);
    kt::class_<measured>(m, "Measured", "Something with an area.").def("area", &measured::area);
    kt::class_<rectangle, named, measured>(m, "Rectangle")
        .def(kt::init<double, double>(), kt::arg("width"), kt::arg("height") = 1.0)
        .def_ro("width", &rectangle::width);
    kt::class_<square, rectangle>(m, "Square").def(kt::init<double>(), kt::arg("side"));
    m.def("larger", &larger, kt::arg("a"), kt::arg("b"), "Whether a's area exceeds b's.");
}
