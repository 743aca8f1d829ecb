#include "debugprint.h"

#include <QByteArray>

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

std::atomic<Halvik::DebugPrintHandler> printHandler{nullptr};

QByteArray formatText(const char *format, va_list args)
{
    va_list measureArgs;
    va_copy(measureArgs, args);
    const int length = std::vsnprintf(nullptr, 0, format, measureArgs);
    va_end(measureArgs);
    if (length <= 0)
        return QByteArray();
    QByteArray text(length, Qt::Uninitialized);
    std::vsnprintf(text.data(), size_t(length) + 1, format, args);
    return text;
}

} // namespace

extern "C" void DBG_Printf(int level, const char *format, ...)
{
    if (!format)
        return;
    va_list args;
    va_start(args, format);
    const QByteArray text = formatText(format, args);
    va_end(args);
    if (text.isEmpty())
        return;

    if (const Halvik::DebugPrintHandler handler = printHandler) {
        handler(level, text.constData());
        return;
    }
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

namespace Halvik {

DebugPrintHandler setDebugPrintHandler(DebugPrintHandler handler)
{
    return printHandler.exchange(handler);
}

} // namespace Halvik
