// The classes of the layer benchmark: five small ones, and one that another module makes.
#pragma once

namespace bench {

template <int N>
struct small {
    int v = N;
    int get() const { return v; }
};
using small0 = small<0>;
using small1 = small<1>;
using small2 = small<2>;
using small3 = small<3>;
using small4 = small<4>;

struct other {
    int v = 7;
};

} // namespace bench
