// The process-wide log writer and the trace scope.
//
// g_ptrLogWriter receives the lines the library cannot return as errors
// (failures in constructors and destructors, at level -1), informational
// lines (level 1) and trace scopes (level 2 and up). A line is written when
// its level is at most the writer's trace level; the default writer sends
// lines to standard error with trace level 0, or the value of the environment
// variable CX_TRACE_LEVEL. Set the level to -2 to silence the library.
// Replace the writer before the library is used from several threads.
#pragma once

#include "Export.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

#include <mutex>
#include <string>

class CX_EXPORT CLogWriterInterface {
public:
    virtual ~CLogWriterInterface();
    virtual int GetTraceLevel() const = 0;
    virtual void SetTraceLevel(int level) = 0;
    // One finished line; the writer adds its own framing.
    virtual void WriteLine(int level, const char* function, int line, const std::string& text) = 0;
};

// Writes "cx[level] function:line: text" lines to a stdio stream, one whole line
// per call, safe to call from several threads.
class CX_EXPORT CStreamLogWriter : public CLogWriterInterface {
public:
    explicit CStreamLogWriter(FILE* stream, int traceLevel = 0);
    ~CStreamLogWriter() override;
    int GetTraceLevel() const override;
    void SetTraceLevel(int level) override;
    void WriteLine(int level, const char* function, int line, const std::string& text) override;

private:
    FILE* stream_;
    int traceLevel_;
    std::mutex mutex_;
};

extern CX_EXPORT boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// The trace level of g_ptrLogWriter; -2 when there is no writer.
CX_EXPORT int FXGetTraceLevel();
// Formats and writes one line through g_ptrLogWriter when its level allows.
CX_EXPORT void FXLogWrite(int level, const char* function, int line, const char* format, ...) FX_PRINTF_FORMAT(4, 5);

// A trace scope: writes "enter" when made and "leave" when it goes out of scope,
// both only when `level` is at most the writer's trace level.
class CX_EXPORT RMDebugFunction {
public:
    RMDebugFunction(const boost::shared_ptr<CLogWriterInterface>& writer, int kind, const char* function, int line,
                    int level, int flags, unsigned mask, const char* format = nullptr, ...) FX_PRINTF_FORMAT(9, 10);
    ~RMDebugFunction();
    RMDebugFunction(const RMDebugFunction&) = delete;
    RMDebugFunction& operator=(const RMDebugFunction&) = delete;

private:
    boost::shared_ptr<CLogWriterInterface> writer_;
    const char* function_;
    int line_;
    int level_;
    bool active_;
};
