// The binding layer: declare a module of the kivotools family instead of writing it by hand.
// Everything a module needs: KIVOTOOLS_MODULE, kivotools::class_, kivotools::arg, the casters.
#pragma once

#include "kivotools/cast.h"
#include "kivotools/class.h"
#include "kivotools/errors.h"
#include "kivotools/function.h"
#include "kivotools/module.h"
