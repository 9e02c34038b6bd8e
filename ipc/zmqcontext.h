#pragma once

#include <memory>

namespace zmq {
class context_t;
}

// The one ZeroMQ context shared by every local IPC channel of the process. It lives until process
// exit, and terminating it waits for every socket made in it, so channels must be stopped first.
class zmq_Context
{
public:
    static zmq_Context &instance();

    explicit zmq_Context(int ioThreads);
    ~zmq_Context();

    zmq::context_t &context() { return *m_context; }

private:
    zmq_Context(const zmq_Context &) = delete;
    zmq_Context &operator=(const zmq_Context &) = delete;

    std::unique_ptr<zmq::context_t> m_context;
};
