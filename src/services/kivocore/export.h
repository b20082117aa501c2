// Visibility of the toolkit services' interface: the stand-in libraries and every module that
// includes these headers must see one definition of each class (typeinfo included, so that a
// TrelError thrown in a library is caught by the modules).
#pragma once

#define KIVO_API __attribute__((visibility("default")))
