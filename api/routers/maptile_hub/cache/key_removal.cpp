// key_removal.cpp: UNLINK by keys in batches, and by a pattern found by SCAN.
#include "key_removal.hpp"

#include "redis_protocol.hpp"

#include <algorithm>

namespace vexa::maptile {

namespace {

constexpr size_t UNLINK_BATCH = 1000;
constexpr int SCAN_COUNT = 1000;

}  // namespace

Coro send_plainly(object call) { co_return co_await std::move(call); }

Coro unlink_keys(handle client, std::vector<std::string> keys, const SendCommand& send, RemovalCount* count) {
    for (size_t first = 0; first < keys.size(); first += UNLINK_BATCH) {
        nb::list batch;
        for (size_t i = first; i < std::min(keys.size(), first + UNLINK_BATCH); ++i) batch.append(pystr(keys[i]));
        object unlinking = steal(PyObject_Call(nb::borrow(client).attr("unlink").ptr(), nb::tuple(batch).ptr(), nullptr));
        Held unlinked = co_await send(std::move(unlinking));
        ++count->commands;
        count->entries += nb::cast<long long>(unlinked);
    }
    co_return nb::none();
}

Coro unlink_matching(handle client, std::string pattern, const SendCommand& send, RemovalCount* count) {
    Held cursor = nb::int_(0);
    do {
        object scanning = nb::borrow(client).attr("scan")(cursor, nb::arg("match") = pystr(pattern),
                                                         nb::arg("count") = SCAN_COUNT);
        Held page = co_await send(std::move(scanning));
        ++count->commands;
        cursor = item(page, nb::int_(0));
        std::vector<std::string> keys;
        for (handle key : item(page, nb::int_(1))) keys.push_back(redis_text(key));
        co_await unlink_keys(client, std::move(keys), send, count);
    } while (nb::cast<long long>(cursor) != 0);
    co_return nb::none();
}

}  // namespace vexa::maptile
