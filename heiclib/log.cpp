#include "heiclib/log.h"

#include <atomic>
#include <iostream>
#include <mutex>

namespace ambrel::log {
namespace {

std::atomic<int> gLevel{Warning};

std::mutex& sinkMutex()
{
    static std::mutex m;
    return m;
}

Sink& sinkSlot()
{
    static Sink s;
    return s;
}

void write(int channel, const std::string& text, bool filtered = true)
{
    if (filtered && channel > gLevel.load(std::memory_order_relaxed)) {
        return;
    }
    std::lock_guard<std::mutex> lock(sinkMutex());
    if (const Sink& sink = sinkSlot()) {
        sink(channel, text);
        return;
    }
    std::ostream& out = channel == Error ? std::cerr : std::cout;
    out << text << '\n';
}

}  // namespace

void setLevel(int newLevel)
{
    gLevel.store(newLevel, std::memory_order_relaxed);
}
int level()
{
    return gLevel.load(std::memory_order_relaxed);
}

void error(const std::string& text)
{
    write(Error, text);
}
void warning(const std::string& text)
{
    write(Warning, text);
}
void info(const std::string& text)
{
    write(Info, text);
}
void report(int channel, const std::string& text)
{
    write(channel, text, false);
}

void setSink(Sink sink)
{
    std::lock_guard<std::mutex> lock(sinkMutex());
    sinkSlot() = std::move(sink);
}

}  // namespace ambrel::log
