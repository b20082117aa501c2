// The norvek tool: asks the norvek library for its state, moves it, and logs every step.
#include "norvek/norvek_cmpt.h"

#include "kivo/NorvekUtils.h"
#include "kivocore/Logging.h"
#include "kivocore/String.h"
#include "kivocore/TrelError.h"

using kivocore::LogIO;
using kivocore::LogOrigin;
using kivocore::SourceLocation;
using kivocore::String;
using kivocore::TrelError;

// The tool catches its errors by value on purpose: it logs and throws on a copy of its own.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wcatch-value"
#endif

namespace {

// Every message names its origin by this file's path from the repository root and a fixed
// line per operation, so log readers see the same origin whatever the build layout.
constexpr const char *kSourcePath = "src/tools/norvek/norvek_cmpt.cc";
constexpr int kConstructorLine = 28;
constexpr int kDestructorLine = 38;
constexpr int kInitializeLine = 48;
constexpr int kCleanupLine = 85;

// Built once at load: naming an origin then copies inline texts and never allocates.
const String kClassName("norvek");
const String kConstructorName("norvek");
const String kDestructorName("~norvek");
const String kInitializeName("initialize_norvek");
const String kCleanupName("cleanup_norvek");

// Every operation asks the core library afresh for its location and origin record, and lets
// the record go as soon as the sink has it: a failure or a changed answer is seen at every call.
void set_origin(LogIO &logger, const String &function, int line) {
    logger << LogOrigin(kClassName, function, SourceLocation::canonicalize(kSourcePath, line));
}

void log_debugging(LogIO &logger, const char *text) {
    logger << LogIO::DEBUGGING << text << LogIO::POST;
}

void report(LogIO &logger, const TrelError &error) {
    logger << LogIO::SEVERE << "Exception Reported: " << error.getMesg() << LogIO::POST;
}

} // namespace

namespace kivoc {

norvek::norvek() {
    try {
        set_origin(logger, kConstructorName, kConstructorLine);
    } catch (TrelError error) {
        report(logger, error);
        throw TrelError(error);
    }
}

norvek::~norvek() {
    // Nothing may leave a destructor: a reported error ends here.
    try {
        set_origin(logger, kDestructorName, kDestructorLine);
    } catch (TrelError error) {
        try {
            report(logger, error);
        } catch (...) {
        }
    } catch (...) {
    }
}

bool norvek::initialize_norvek(const std::string & /*_level*/) {
    try {
        set_origin(logger, kInitializeName, kInitializeLine);
        if (kivo::NorvekUtils::IsNorvekInitialized()) {
            log_debugging(logger, "norvek is already initialized. No need to initialize.");
            return true;
        }
        if (kivo::NorvekUtils::InitializeNorvek()) {
            log_debugging(logger,
                          "initialize_norvek is called. norvek was initialized successfully. ");
            return true;
        }
        return false;
    } catch (TrelError error) {
        report(logger, error);
        throw TrelError(error);
    }
}

void norvek::cleanup_norvek() {
    try {
        set_origin(logger, kCleanupName, kCleanupLine);
        if (kivo::NorvekUtils::IsNorvekInitialized()) {
            kivo::NorvekUtils::CleanUpNorvek();
            log_debugging(logger, "cleanup_norvek is called ");
        } else {
            log_debugging(logger, "No need to cleanup. norvek is not initialized yet.");
        }
    } catch (TrelError error) {
        report(logger, error);
        throw TrelError(error);
    }
}

} // namespace kivoc
