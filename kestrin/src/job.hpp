// What runs on an engine's loop, as the engine sees it. Requests and WebSockets are jobs, kept in
// one registry while they run, so that the engine ends them all (at shutdown, or when its loop
// lost track of them) without knowing what they are.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_set>

#include "error_map.hpp"

namespace kestrin {

class Job {
  public:
    // What drives the job: libcurl (a transfer) or Asio (a connection of the Core's own). A
    // fault of one driver ends only the jobs it drives.
    enum class Kind : uint8_t { transfer, connection };

    virtual ~Job() = default;
    // Network thread: ends the job with its terminal callback, unless it ended already. An
    // ending job leaves the registry itself.
    virtual void abort(Failure failure, std::string_view message) = 0;
    // Network thread, with no handler of the job running: lets go of what operations parked
    // inside the job's stream hold (each holds the job and work on the loop).
    virtual void drop_stream() noexcept {}
};

class JobRegistry {
  public:
    // Network thread; throws std::bad_alloc.
    void add(std::shared_ptr<Job> job, Job::Kind kind) { of(kind).insert(std::move(job)); }
    void remove(const std::shared_ptr<Job> &job, Job::Kind kind) { of(kind).erase(job); }
    bool empty() const { return jobs_[0].empty() && jobs_[1].empty(); }

    // Ends every job of `kind`. No copy of the set, which could fail to allocate.
    void abort_all(Job::Kind kind, Failure failure, std::string_view message,
                   bool drop_streams = false) {
        auto &jobs = of(kind);
        while (!jobs.empty()) {
            auto job = *jobs.begin();
            job->abort(failure, message);
            jobs.erase(job);
            if (drop_streams)
                job->drop_stream();
        }
    }

  private:
    std::unordered_set<std::shared_ptr<Job>> &of(Job::Kind kind) {
        return jobs_[static_cast<size_t>(kind)];
    }
    std::array<std::unordered_set<std::shared_ptr<Job>>, 2> jobs_;
};

} // namespace kestrin
