#include "host/logging.h"

#include <vector>

#include "host/objects.h"

namespace host {

namespace {

thread_local const char* running = nullptr;

// logging.DEBUG
constexpr long kDebugLevel = 10;

}  // namespace

const char* running_function() { return running; }

RunningFunction::RunningFunction(const char* name) : previous_(running) { running = name; }

RunningFunction::~RunningFunction() { running = previous_; }

Logger::Logger(const char* name) {
  Ref get_logger = import_from("logging", "getLogger");
  Ref logger_name = text(name);
  logger_ = call(get_logger.get(), {logger_name.get()});
}

bool Logger::debug_enabled() const {
  static const Interned is_enabled_for{"isEnabledFor"};
  Ref level = integer(kDebugLevel);
  return truthy(call_method(logger_.get(), is_enabled_for, {level.get()}).get());
}

void Logger::debug(const char* format, std::initializer_list<std::string_view> args) const {
  static const Interned debug_name{"debug"};
  std::vector<Ref> owned;
  owned.reserve(args.size() + 1);
  owned.push_back(text(format));
  for (const std::string_view arg : args) owned.push_back(text(arg));
  std::vector<PyObject*> stack(1 + owned.size());
  stack[0] = logger_.get();
  for (std::size_t i = 0; i < owned.size(); ++i) stack[i + 1] = owned[i].get();
  Ref::check(PyObject_VectorcallMethod(debug_name.get(), stack.data(), stack.size(), nullptr));
}

}  // namespace host
