// The norvek tool: brings the toolkit's norvek library into and out of its initialised state.
#pragma once

#include "kivoc_export.h"
#include "kivocore/Logging.h"

#include <string>

namespace kivoc {

class KIVOC_EXPORT norvek {
public:
    norvek();
    ~norvek();
    norvek(const norvek &) = delete;
    norvek &operator=(const norvek &) = delete;

    // True when the library is initialised afterwards. `_level` is accepted and not used.
    bool initialize_norvek(const std::string &_level);
    void cleanup_norvek();

private:
    kivocore::LogIO logger;
};

} // namespace kivoc
