#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The reader's listeners: transports that want to hear when output may be ready or the next event
// has moved. Notify calls them outside the reader's lock, on whatever thread changed the reader, so
// a transport that goes away must know that no call of its listener is still running: Remove waits
// for calls in flight on other threads, and no call starts after it. A call on the removing thread
// itself (a listener that removes itself, or one removed from within another listener) is not
// waited for; it could never end.
class SimListenerList {
public:
    SimListenerList() = default;
    SimListenerList(const SimListenerList&) = delete;
    SimListenerList& operator=(const SimListenerList&) = delete;

    int Add(std::function<void()> listener);
    void Remove(int id);
    void Notify();

private:
    struct Entry {
        std::function<void()> listener;
        std::vector<std::thread::id> callers;  // threads in a call of it now, one entry per call
    };

    std::mutex m_mutex;
    std::condition_variable m_callEnded;
    std::map<int, std::shared_ptr<Entry>> m_entries;
    int m_nNextId = 1;
};
