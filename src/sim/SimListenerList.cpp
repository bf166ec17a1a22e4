#include "sim/SimListenerList.h"

#include <algorithm>

int SimListenerList::Add(std::function<void()> listener) {
    std::lock_guard lock(m_mutex);
    m_entries[m_nNextId] = std::make_shared<Entry>(Entry{std::move(listener), {}});
    return m_nNextId++;
}

void SimListenerList::Remove(int id) {
    std::unique_lock lock(m_mutex);
    auto it = m_entries.find(id);
    if (it == m_entries.end()) {
        return;
    }
    const std::shared_ptr<Entry> entry = std::move(it->second);
    m_entries.erase(it);
    const std::thread::id self = std::this_thread::get_id();
    m_callEnded.wait(lock, [&] {
        return std::all_of(entry->callers.begin(), entry->callers.end(),
                           [&](std::thread::id caller) { return caller == self; });
    });
}

void SimListenerList::Notify() {
    std::vector<int> ids;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [id, entry] : m_entries) {
            ids.push_back(id);
        }
    }
    const std::thread::id self = std::this_thread::get_id();
    for (int id : ids) {
        // Looked up again for each call: one removed meanwhile is not called.
        std::shared_ptr<Entry> entry;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_entries.find(id);
            if (it == m_entries.end()) {
                continue;
            }
            entry = it->second;
            entry->callers.push_back(self);
        }
        entry->listener();
        {
            std::lock_guard lock(m_mutex);
            entry->callers.erase(std::find(entry->callers.begin(), entry->callers.end(), self));
            // The remover, once woken, holds the last reference: the listener's closure ends there,
            // before Remove returns, and never while the listener still runs.
            entry.reset();
        }
        m_callEnded.notify_all();
    }
}
