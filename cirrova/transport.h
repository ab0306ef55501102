// cirrova.transport: NativeTransport, an httpx transport on libcurl.
//
// httpx builds the request and reads the response as usual; this module only
// moves the bytes. The connection work lives in transport/engine.h and runs
// with the interpreter lock released; this unit turns httpx requests into
// engine requests and engine results into httpx responses and errors.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "transport/engine.h"

namespace cirrova::transport {

namespace nb = nanobind;

// The pool behind one NativeTransport (its `_pool` attribute).
struct Core {
    std::shared_ptr<Pool> pool;
};

// The body of one response: an iterator of bytes pulled from libcurl. Holds
// its connection until the body ends or the stream is closed.
class Body {
public:
    Body(std::unique_ptr<Exchange> exchange, nb::object request)
        : exchange_(std::move(exchange)), request_(std::move(request)) {
        exchange_->watch(&closing_);
    }
    nb::object next();
    void close();

private:
    // Raises the exchange's failure; later reads raise httpx.StreamClosed.
    [[noreturn]] void fail();

    std::mutex mu_;  // one reader at a time
    std::atomic<bool> closing_{false};  // close() from another thread while one reads
    std::unique_ptr<Exchange> exchange_;
    nb::object request_;
    long long returned_ = 0;  // body bytes handed to the caller
    bool closed_ = false;     // closed or failed before its end: reading on raises httpx.StreamClosed
};

// The native transfer engine's functions (transport/multi_py.cpp).
void bind_multi(nb::module_& m);
// The cancel state of the innermost CancelToken bound to this thread, or null.
std::shared_ptr<const CancelState> bound_cancel_state();

}  // namespace cirrova::transport
