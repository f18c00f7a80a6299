#include "realtime/deadline_bus.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace kolv::realtime {
namespace {

struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

Message failed(CallFailure& failure, CallFailure::Kind kind, int negativeErrno) {
  failure = {kind, std::strerror(-negativeErrno), {}};
  return nullptr;
}

}  // namespace

Message DeadlineBus::call(const char* destination, const char* path, const char* interface, const char* member,
                          CallFailure& failure, const std::function<int(sd_bus_message*)>& append) {
  sd_bus_message* made = nullptr;
  int result = sd_bus_message_new_method_call(bus_.get(), &made, destination, path, interface, member);
  const Message request(made);
  if (result >= 0 && append) result = append(made);
  if (result < 0) return failed(failure, CallFailure::Kind::notSent, result);

  Message reply;
  const auto onReply = [](sd_bus_message* message, void* user, sd_bus_error*) -> int {
    static_cast<Message*>(user)->reset(sd_bus_message_ref(message));
    return 0;
  };
  sd_bus_slot* slot = nullptr;
  result = sd_bus_call_async(bus_.get(), &slot, made, onReply, &reply, remainingMicroseconds());
  const Slot owned(slot);  // dropping it cancels a call still waiting
  if (result < 0) return failed(failure, CallFailure::Kind::notSent, result);
  while (!reply) {
    result = sd_bus_process(bus_.get(), nullptr);
    if (result < 0) return failed(failure, CallFailure::Kind::busFailed, result);
    if (result > 0) continue;
    const std::uint64_t left = remainingMicroseconds();
    if (left == 0) {
      failure = {CallFailure::Kind::noAnswer, {}, {}};
      return nullptr;
    }
    result = sd_bus_wait(bus_.get(), left);
    if (result < 0 && result != -EINTR) return failed(failure, CallFailure::Kind::busFailed, result);
  }
  if (const sd_bus_error* error = sd_bus_message_get_error(reply.get())) {
    const std::string name = error->name ? error->name : "error";
    failure = {CallFailure::Kind::refused, error->message ? error->message : name, name};
    return nullptr;
  }
  return reply;
}

std::uint64_t DeadlineBus::remainingMicroseconds() const {
  const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline_ - Clock::now());
  return left.count() > 0 ? static_cast<std::uint64_t>(left.count()) : 0;
}

}  // namespace kolv::realtime
