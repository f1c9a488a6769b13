// Diagnostic reporting: the one operation, postDiagnostic, through which every part of
// the application reports. It decides from a message's diagnostic class whether the
// user sees it, stamps it with the time, posts the finished line to the diagnostic list
// of the main window, and feeds the trace facility. It never waits for the window, so
// any thread may call it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/win.h"
#include "trace/TVCmnTrace.h"

// Diagnostic classes: the bits of the diagnostic flags that show a class.
inline constexpr uint16_t kDiagNamespace = 0x0001;
inline constexpr uint16_t kDiagCommsError = 0x0002;
inline constexpr uint16_t kDiagNormalComms = 0x0004;
inline constexpr uint16_t kDiagCommsEvent = 0x0008;
inline constexpr uint16_t kDiagAnyComms = kDiagCommsError | kDiagNormalComms;
inline constexpr uint16_t kDiagAlways = 0xFFFF;  // shown whatever the flags say

// Posted to the main window with one line: wParam 1 to empty the list first, else 0;
// lParam the line, which the receiver frees.
inline constexpr UINT WM_APP_DIAG = 0x8004;

inline constexpr size_t kDiagMessageBytes = 512;  // the formatted message, cut to fit
inline constexpr size_t kDiagLineBytes = 576;     // time stamp and message
inline constexpr int kDiagListMaxLines = 999;     // the window's list holds no more

// How the application's own trace groups are used.
inline constexpr uint32_t kTraceGroupNamespaceDiag = kTraceGroupUser1;
inline constexpr uint32_t kTraceGroupCommsDiag = kTraceGroupUser2;
inline constexpr char kDiagTraceObjectId[] = "Server app";

// A finished line; whoever holds it frees it.
using DiagnosticLine = std::unique_ptr<char[]>;

// The receiver of finished lines: the main window's list (posted, on Windows) or a test.
class DiagnosticTarget {
public:
    virtual ~DiagnosticTarget() = default;
    // Must not wait for the receiver. Takes the line over; false when the post failed,
    // in which case the line is lost.
    virtual bool postLine(bool emptyListFirst, DiagnosticLine line) = 0;
};

// The diagnostic part of the application object: read and changed by any reporting
// thread without a lock, hence atomics; the window thread is the only other party.
struct AppDiagnostics {
    std::atomic<uint16_t> flags{0};       // classes the user sees
    std::atomic<bool> saving{false};      // a save of the list is running: lines are dropped
    std::atomic<int> lineCount{0};        // lines posted since the list was last emptied
    std::atomic<DiagnosticTarget*> target{nullptr};  // not owned
    TVCmnTrace* trace = &TVCmnTrace::process();      // not owned
    void (*utcClock)(SYSTEMTIME*) = GetSystemTime;   // tests fix the time here
};

void postDiagnostic(AppDiagnostics& diagnostics, uint16_t diagClass, const char* format, ...)
    KV_PRINTF_FORMAT(3, 4);
