// Where replies to the profiler go: one call sends one whole message.
#pragma once

#include <cstddef>

namespace Controller {

class IMessageSender {
public:
    virtual ~IMessageSender() = default;

    // Raises ConnectionError when the connection is gone.
    virtual void SendMessage(const void* data, size_t count) = 0;
};

}  // namespace Controller
