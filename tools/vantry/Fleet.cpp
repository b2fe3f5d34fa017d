// Runs one command against many gateways at once: a thread per gateway, at
// most a given number at a time. Each thread writes only its own result; the
// caller reads a result once that thread has ended.
#include "tools/vantry/Vantry.h"

#include <cstdio>
#include <cstdlib>

namespace vantry {

bool ParseTarget(const std::string& text, int defaultPort, Target* target, std::string* why) {
    std::string host = text;
    int port = defaultPort;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        std::string digits = text.substr(colon + 1);
        char* end = nullptr;
        long n = std::strtol(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0' || n < 1 || n > 65535) {
            *why = "'" + text + "': the port is a number from 1 to 65535";
            return false;
        }
        port = static_cast<int>(n);
    }
    if (host.empty() || host.find_first_of(" \t:/") != std::string::npos) {
        *why = "'" + text + "' is not HOST or HOST:PORT";
        return false;
    }
    target->host = host;
    target->port = port;
    return true;
}

namespace {

struct Job {
    const Command* command;
    Target target;
    DWORD wait;
    HostResult result;
};

DWORD WINAPI RunJob(LPVOID parameter) {
    Job* job = static_cast<Job*>(parameter);
    Gateway gateway(job->target, job->wait);
    job->result.host = job->target.Label();
    job->command->run(gateway, job->result);
    return 0;
}

void DrawProgress(size_t done, size_t total, size_t running) {
    fprintf(stderr, "\rvantry: %lu of %lu hosts done, %lu running   ",
            static_cast<unsigned long>(done), static_cast<unsigned long>(total),
            static_cast<unsigned long>(running));
    fflush(stderr);
}

} // namespace

std::vector<HostResult> RunFleet(const Command& command, const std::vector<Target>& targets,
                                 DWORD wait, int parallel, bool progress) {
    std::vector<Job> jobs(targets.size());
    for (size_t i = 0; i < targets.size(); ++i)
        jobs[i] = Job{&command, targets[i], wait, HostResult()};
    if (parallel < 1)
        parallel = 1;
    if (parallel > MAXIMUM_WAIT_OBJECTS)
        parallel = MAXIMUM_WAIT_OBJECTS;

    std::vector<HANDLE> running;
    std::vector<size_t> runningJob;
    size_t next = 0;
    size_t done = 0;
    while (done < jobs.size()) {
        while (next < jobs.size() && running.size() < static_cast<size_t>(parallel)) {
            HANDLE thread = CreateThread(nullptr, 0, RunJob, &jobs[next], 0, nullptr);
            if (thread == nullptr) {
                if (!running.empty())
                    break; // try again when one has ended
                RunJob(&jobs[next]); // no thread to be had: on this one
                ++done;
            } else {
                running.push_back(thread);
                runningJob.push_back(next);
            }
            ++next;
        }
        if (running.empty())
            continue;
        if (progress)
            DrawProgress(done, jobs.size(), running.size());
        DWORD ended = WaitForMultipleObjects(static_cast<DWORD>(running.size()), running.data(),
                                             FALSE, progress ? 250 : INFINITE);
        if (ended == WAIT_TIMEOUT || ended == WAIT_FAILED)
            continue;
        size_t k = ended - WAIT_OBJECT_0;
        if (k >= running.size())
            continue;
        CloseHandle(running[k]);
        running.erase(running.begin() + static_cast<long>(k));
        runningJob.erase(runningJob.begin() + static_cast<long>(k));
        ++done;
    }
    if (progress) {
        fprintf(stderr, "\r%60s\r", "");
        fflush(stderr);
    }
    std::vector<HostResult> results;
    for (Job& job : jobs)
        results.push_back(job.result);
    return results;
}

} // namespace vantry
