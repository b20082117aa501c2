// The core library's unit constants and their load-time initialiser. Every source that
// includes this header holds one initialiser object, which runs when its library is loaded.
#pragma once

#include "kivocore/export.h"

namespace kivocore {

class KIVO_API UnitVal {
public:
    // Constant-initialised, so the constants are valid before any load-time code runs.
    constexpr UnitVal() noexcept = default;

    void init(double factor);
    void init(double factor, int dimension_position);

    double factor() const noexcept { return factor_; }
    int dimension() const noexcept { return dimension_; }

    static UnitVal NODIM, UNDIM, LENGTH, MASS, TIME, CURRENT, TEMPERATURE, INTENSITY, MOLAR, ANGLE,
        SOLIDANGLE;

private:
    double factor_ = 0.0;
    int dimension_ = -1;
};

class KIVO_API UnitVal_static_initializer {
public:
    UnitVal_static_initializer() {
        if (!initialized) {
            UnitVal::NODIM.init(1.0);
            UnitVal::UNDIM.init(1.0, 9);
            UnitVal::LENGTH.init(1.0, 0);
            UnitVal::MASS.init(1.0, 1);
            UnitVal::TIME.init(1.0, 2);
            UnitVal::CURRENT.init(1.0, 3);
            UnitVal::TEMPERATURE.init(1.0, 4);
            UnitVal::INTENSITY.init(1.0, 5);
            UnitVal::MOLAR.init(1.0, 6);
            UnitVal::ANGLE.init(1.0, 7);
            UnitVal::SOLIDANGLE.init(1.0, 8);
            initialized = 1;
        }
    }

    static int initialized;
};

namespace {
UnitVal_static_initializer unitval_static_initializer;
} // namespace

} // namespace kivocore
