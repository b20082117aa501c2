// Unit constants and the flag of their load-time initialiser; each init call is traced when
// the extras are built.
#include "control_hooks.h"
#include "kivocore/UnitVal.h"

namespace kivocore {

UnitVal UnitVal::NODIM, UnitVal::UNDIM, UnitVal::LENGTH, UnitVal::MASS, UnitVal::TIME,
    UnitVal::CURRENT, UnitVal::TEMPERATURE, UnitVal::INTENSITY, UnitVal::MOLAR, UnitVal::ANGLE,
    UnitVal::SOLIDANGLE;

int UnitVal_static_initializer::initialized = 0;

void UnitVal::init(double factor) {
    factor_ = factor;
    dimension_ = -1;
    kivo::controls::trace_unit_init(this, factor, -1, false);
}

void UnitVal::init(double factor, int dimension_position) {
    factor_ = factor;
    dimension_ = dimension_position;
    kivo::controls::trace_unit_init(this, factor, dimension_position, true);
}

} // namespace kivocore
