#include "Messages.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <string>

uint32_t RegisterWindowMessageA(const char* name)
{
    static std::mutex mutex;
    static std::map<std::string, uint32_t> registered;
    if (!name || !*name)
        return 0;
    std::string key(name);
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    std::lock_guard lock(mutex);
    auto it = registered.find(key);
    if (it != registered.end())
        return it->second;
    const uint32_t id = 0xC000 + uint32_t(registered.size());
    if (id > 0xFFFF)
        return 0;
    registered.emplace(key, id);
    return id;
}

void TThreadMessageQueue::Open()
{
    std::lock_guard lock(mutex_);
    open_ = true;
}

void TThreadMessageQueue::Close()
{
    {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    arrived_.notify_all();
}

bool TThreadMessageQueue::Post(uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    {
        std::lock_guard lock(mutex_);
        if (!open_)
            return false;
        TMsg msg;
        msg.message = message;
        msg.wParam = wParam;
        msg.lParam = lParam;
        msg.time = uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count());
        messages_.push_back(msg);
    }
    arrived_.notify_one();
    return true;
}

bool TThreadMessageQueue::Get(TMsg& msg, uint32_t min, uint32_t max)
{
    auto inRange = [&](const TMsg& m) { return (min == 0 && max == 0) || (m.message >= min && m.message <= max); };
    std::unique_lock lock(mutex_);
    for (;;) {
        auto it = std::find_if(messages_.begin(), messages_.end(), inRange);
        if (it != messages_.end()) {
            msg = *it;
            messages_.erase(it);
            return true;
        }
        if (!open_)
            return false;
        arrived_.wait(lock);
    }
}
