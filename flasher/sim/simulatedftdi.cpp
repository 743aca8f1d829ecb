#include "simulatedftdi.h"

#include "virtualclock.h"

#include <algorithm>
#include <climits>

namespace {

SimulatedFtdi *activeFtdi = nullptr;

} // namespace

SimulatedFtdi::SimulatedFtdi(VirtualClock &clock) : m_clock(clock)
{
    if (activeFtdi)
        qFatal("SimulatedFtdi: only one may exist at a time");
    activeFtdi = this;
}

SimulatedFtdi::~SimulatedFtdi()
{
    activeFtdi = nullptr;
}

SimulatedFtdi &SimulatedFtdi::active()
{
    if (!activeFtdi)
        qFatal("SimulatedFtdi: a D2XX call was made without a SimulatedFtdi");
    return *activeFtdi;
}

SimulatedConverter &SimulatedFtdi::addConverter(const ConverterIdentity &identity)
{
    ConverterIdentity placed = identity;
    if (placed.location.isEmpty())
        placed.location = "1-" + QByteArray::number(converterCount() + 1);
    m_converters.push_back(std::make_unique<SimulatedConverter>(placed, m_clock));
    return *m_converters.back();
}

int SimulatedFtdi::listedConverter(int listIndex) const
{
    for (int index = 0; index < converterCount(); ++index) {
        if (m_converters[size_t(index)]->isPlugged() && listIndex-- == 0)
            return index;
    }
    return -1;
}

int SimulatedFtdi::listedCount() const
{
    return int(std::count_if(m_converters.begin(), m_converters.end(),
                             [](const auto &converter) { return converter->isPlugged(); }));
}

void SimulatedFtdi::atCall(Operation operation, int call, std::function<void()> action)
{
    m_actions.insert({operation, call}, std::move(action));
}

void SimulatedFtdi::injectFailure(Operation operation, int call, FT_STATUS status, int times)
{
    const int lastCall = times == EveryLaterCall ? INT_MAX : call + times - 1;
    m_failures.append({operation, call, lastCall, status});
}

void SimulatedFtdi::injectShortWrite(int call, uint32_t bytesWritten)
{
    m_shortWrites.insert(call, bytesWritten);
}

std::optional<FT_STATUS> SimulatedFtdi::beginCall(Operation operation)
{
    const int call = ++m_callCounts[operation];
    for (const std::function<void()> &action : m_actions.values({operation, call}))
        action();
    for (const InjectedFailure &failure : qAsConst(m_failures)) {
        if (failure.operation == operation && failure.firstCall <= call && call <= failure.lastCall)
            return failure.status;
    }
    return std::nullopt;
}

uint32_t SimulatedFtdi::acceptedWriteLength(uint32_t length) const
{
    return std::min(length, m_shortWrites.value(m_callCounts[Write], length));
}

FT_HANDLE SimulatedFtdi::openHandle(int index)
{
    // Handles are never reused, so a stale one stays invalid after a reopen.
    const auto handle = reinterpret_cast<FT_HANDLE>(m_nextHandle++);
    m_handles.insert(handle, index);
    converter(index).open();
    return handle;
}

void SimulatedFtdi::closeHandle(FT_HANDLE handle)
{
    converter(m_handles.take(handle)).close();
}

int SimulatedFtdi::converterIndex(FT_HANDLE handle) const
{
    return m_handles.value(handle, -1);
}

void SimulatedFtdi::recordBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode, FT_STATUS status)
{
    m_bitModeCalls.append({m_clock.now(), converterIndex(handle), mask, mode, status});
}
