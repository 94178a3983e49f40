// The background writer; see background_writer.h.
#include "shell/background_writer.h"

#if !defined(_WIN32)
#include <sched.h>
#include <signal.h>
#endif

namespace tessaly {

#if !defined(_WIN32)

bool BackgroundWriter::Start() {
    if (running_) return true;
    // A process held to one CPU would only take turns between the two halves.
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) < 2) return false;
    // Created with every signal blocked, which the thread keeps.
    sigset_t all, before;
    sigfillset(&all);
    if (::pthread_sigmask(SIG_SETMASK, &all, &before) != 0) return false;
    running_ = ::pthread_create(&thread_, nullptr, Run, this) == 0;
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return running_;
}

void* BackgroundWriter::Run(void* self) {
    auto& me = *static_cast<BackgroundWriter*>(self);
    ::pthread_mutex_lock(&me.mutex_);
    for (;;) {
        if (me.hasJob_) {
            const io::Handle h = me.handle_;
            const std::uint64_t offset = me.offset_;
            const std::span<const std::uint8_t> bytes = me.bytes_;
            ::pthread_mutex_unlock(&me.mutex_);
            const Outcome written = io::WriteAll(h, offset, bytes);
            ::pthread_mutex_lock(&me.mutex_);
            me.result_ = written;
            me.hasJob_ = false;
            ::pthread_cond_broadcast(&me.changed_);
            continue;
        }
        if (me.stop_) break;
        ::pthread_cond_wait(&me.changed_, &me.mutex_);
    }
    ::pthread_mutex_unlock(&me.mutex_);
    return nullptr;
}

Outcome BackgroundWriter::Post(io::Handle h, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    ::pthread_mutex_lock(&mutex_);
    while (hasJob_) ::pthread_cond_wait(&changed_, &mutex_);
    const Outcome before = result_;
    result_ = {};
    handle_ = h;
    offset_ = offset;
    bytes_ = bytes;
    hasJob_ = true;
    ::pthread_cond_broadcast(&changed_);
    ::pthread_mutex_unlock(&mutex_);
    return before;
}

Outcome BackgroundWriter::Wait() {
    if (!running_) return {};
    ::pthread_mutex_lock(&mutex_);
    while (hasJob_) ::pthread_cond_wait(&changed_, &mutex_);
    const Outcome done = result_;
    result_ = {};
    ::pthread_mutex_unlock(&mutex_);
    return done;
}

Outcome BackgroundWriter::Stop() {
    if (!running_) return {};
    const Outcome done = Wait();
    ::pthread_mutex_lock(&mutex_);
    stop_ = true;
    ::pthread_cond_broadcast(&changed_);
    ::pthread_mutex_unlock(&mutex_);
    ::pthread_join(thread_, nullptr);
    running_ = false;
    stop_ = false;
    return done;
}

#else

bool BackgroundWriter::Start() {
    return false;
}
Outcome BackgroundWriter::Post(io::Handle h, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    return io::WriteAll(h, offset, bytes);  // never reached: nothing runs in the background here
}
Outcome BackgroundWriter::Wait() {
    return {};
}
Outcome BackgroundWriter::Stop() {
    return {};
}

#endif

}  // namespace tessaly
