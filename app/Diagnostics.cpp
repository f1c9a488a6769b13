#include "app/Diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <new>

namespace {

bool isShown(const AppDiagnostics& diagnostics, uint16_t diagClass)
{
    return diagClass == kDiagAlways ||
           (diagClass & diagnostics.flags.load(std::memory_order_relaxed)) != 0;
}

// The trace level and group of a class; false for classes that are not traced.
bool traceLevelOf(uint16_t diagClass, int* level, uint32_t* group)
{
    switch (diagClass) {
    case kDiagNamespace: *level = kTraceInfo; *group = kTraceGroupNamespaceDiag; return true;
    case kDiagCommsError: *level = kTraceError; *group = kTraceGroupCommsDiag; return true;
    case kDiagNormalComms: *level = kTraceInfo; *group = kTraceGroupCommsDiag; return true;
    default: return false;
    }
}

// Counts the line into the window's list; true when the list must be emptied first.
// Several threads may post at once, so the count moves in one step.
bool countLine(AppDiagnostics& diagnostics)
{
    int count = diagnostics.lineCount.load(std::memory_order_relaxed);
    bool emptyFirst;
    int next;
    do {
        emptyFirst = count >= kDiagListMaxLines;
        next = emptyFirst ? 1 : count + 1;
    } while (!diagnostics.lineCount.compare_exchange_weak(count, next, std::memory_order_relaxed));
    return emptyFirst;
}

void showLine(AppDiagnostics& diagnostics, const char* message)
{
    DiagnosticLine line(new (std::nothrow) char[kDiagLineBytes]);
    if (!line)
        return;  // no memory for the line: the user misses it, the trace still gets it
    SYSTEMTIME now;
    diagnostics.utcClock(&now);
    // No leading zeros: the list shows the numbers as people write them.
    std::snprintf(line.get(), kDiagLineBytes, "%i/%i/%i %i:%i:%i.%i %.512s", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, message);
    const bool emptyFirst = countLine(diagnostics);
    if (DiagnosticTarget* target = diagnostics.target.load(std::memory_order_acquire))
        target->postLine(emptyFirst, std::move(line));
}

}  // namespace

void postDiagnostic(AppDiagnostics& diagnostics, uint16_t diagClass, const char* format, ...)
{
    int level = 0;
    uint32_t group = 0;
    const bool shown = isShown(diagnostics, diagClass);
    const bool traced = traceLevelOf(diagClass, &level, &group) && diagnostics.trace->isOn(level, group);
    if (!shown && !traced)
        return;  // nobody would read it: skip the formatting

    char message[kDiagMessageBytes];
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(message, sizeof message, format, args) < 0)
        message[0] = '\0';
    va_end(args);

    if (shown) {
        // A save copies the list; lines arriving meanwhile are dropped, and not traced.
        if (diagnostics.saving.load(std::memory_order_relaxed))
            return;
        showLine(diagnostics, message);
    }
    if (traced)
        diagnostics.trace->line(level, group, kDiagTraceObjectId, "%s", message);
}
