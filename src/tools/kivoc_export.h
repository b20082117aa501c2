// Marks the tool classes that a module exports for other toolkit code to link against.
#pragma once

#define KIVOC_EXPORT __attribute__((visibility("default")))
