#include "LogWriter.h"

#include <boost/make_shared.hpp>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {
int DefaultTraceLevel()
{
    const char* text = std::getenv("CX_TRACE_LEVEL");
    return text != nullptr && *text != '\0' ? std::atoi(text) : 0;
}

std::string Format(const char* format, va_list arguments)
{
    if (format == nullptr)
        return std::string();
    va_list copy;
    va_copy(copy, arguments);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0)
        return std::string();
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, arguments);
    text.resize(static_cast<size_t>(needed));
    return text;
}
}  // namespace

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter =
    boost::make_shared<CStreamLogWriter>(stderr, DefaultTraceLevel());

CLogWriterInterface::~CLogWriterInterface() = default;

CStreamLogWriter::CStreamLogWriter(FILE* stream, int traceLevel) : stream_(stream), traceLevel_(traceLevel) {}
CStreamLogWriter::~CStreamLogWriter() = default;

int CStreamLogWriter::GetTraceLevel() const { return traceLevel_; }
void CStreamLogWriter::SetTraceLevel(int level) { traceLevel_ = level; }

void CStreamLogWriter::WriteLine(int level, const char* function, int line, const std::string& text)
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::fprintf(stream_, "cx[%d] %s:%d: %s\n", level, function ? function : "", line, text.c_str());
    std::fflush(stream_);
}

int FXGetTraceLevel()
{
    const auto writer = g_ptrLogWriter;
    return writer ? writer->GetTraceLevel() : -2;
}

void FXLogWrite(int level, const char* function, int line, const char* format, ...)
{
    const auto writer = g_ptrLogWriter;
    if (!writer || level > writer->GetTraceLevel())
        return;
    va_list arguments;
    va_start(arguments, format);
    const std::string text = Format(format, arguments);
    va_end(arguments);
    writer->WriteLine(level, FXDetail::FunctionText(function).c_str(), line, text);
}

RMDebugFunction::RMDebugFunction(const boost::shared_ptr<CLogWriterInterface>& writer, int kind, const char* function,
                                 int line, int level, int flags, unsigned mask, const char* format, ...)
    : writer_(writer), function_(function), line_(line), level_(kind > level ? kind : level), active_(false)
{
    (void)flags;
    (void)mask;
    if (!writer_ || level_ > writer_->GetTraceLevel())
        return;
    active_ = true;
    va_list arguments;
    va_start(arguments, format);
    const std::string parameters = Format(format, arguments);
    va_end(arguments);
    writer_->WriteLine(level_, FXDetail::FunctionText(function_).c_str(), line_,
                       parameters.empty() ? "enter" : "enter " + parameters);
}

RMDebugFunction::~RMDebugFunction()
{
    if (active_)
        writer_->WriteLine(level_, FXDetail::FunctionText(function_).c_str(), line_, "leave");
}
