// One thread that writes a save's bytes while the save makes the next ones,
// so a save of packed rows takes about as long as its longer half (the
// packing, or the system's write) rather than both.
//
// A job at a time: Post hands one over (after waiting for the one before) and
// Wait waits for it. The thread belongs to one save: the save's file starts
// it, and Stop (or the destructor) joins it before the save ends. It blocks
// every signal, so the host's handlers never run on it, and nothing on it can
// throw. POSIX only (and only where the process may run on two CPUs or more):
// elsewhere Start answers false and the save writes as it goes.
#pragma once

#include <cstdint>
#include <span>

#include "shell/file_io.h"
#include "shell/outcome.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace tessaly {

class BackgroundWriter {
public:
    BackgroundWriter() = default;
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;
    ~BackgroundWriter() { (void)Stop(); }  // a destructor has nobody to report to

    // Starts the thread; false (and nothing started) when it cannot run here.
    [[nodiscard]] bool Start();
    [[nodiscard]] bool Running() const { return running_; }
    // Waits for the job in hand, then starts writing `bytes` (which the caller
    // keeps unchanged until the next Post, Wait or Stop) at `offset` of `h`.
    // Answers the outcome of the job waited for (Ok when there was none).
    [[nodiscard]] Outcome Post(io::Handle h, std::uint64_t offset, std::span<const std::uint8_t> bytes);
    // Waits for the job in hand: its outcome (Ok when there was none).
    [[nodiscard]] Outcome Wait();
    // Waits for the job in hand and joins the thread; its outcome as Wait's.
    Outcome Stop();

private:
#if !defined(_WIN32)
    static void* Run(void* self);

    pthread_t thread_{};
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed_ = PTHREAD_COND_INITIALIZER;  // a job posted, done, or the thread told to stop
    bool hasJob_ = false;
    bool stop_ = false;
    io::Handle handle_ = io::kNoHandle;
    std::uint64_t offset_ = 0;
    std::span<const std::uint8_t> bytes_;
    Outcome result_;
#endif
    bool running_ = false;
};

}  // namespace tessaly
