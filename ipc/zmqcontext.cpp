#include "zmqcontext.h"

#include <QDebug>

#include <zmq.hpp>

zmq_Context &zmq_Context::instance()
{
    qDebug() << "static zmq_Context& zmq_Context::instance()";
    static zmq_Context context(1);
    return context;
}

zmq_Context::zmq_Context(int ioThreads)
    : m_context(std::make_unique<zmq::context_t>(ioThreads, 1023))
{
    qDebug() << "zmq_Context::zmq_Context(int)";
    // Not blocky: sockets start with a linger of zero, so ending the process never waits for
    // messages a peer will no longer read.
    m_context->set(zmq::ctxopt::blocky, 0);
}

zmq_Context::~zmq_Context()
{
    qDebug() << "zmq_Context::~zmq_Context()";
    m_context->close();
}
