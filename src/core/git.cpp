#include "core/git.h"

namespace core::git {

Command::Command(std::initializer_list<const char*> words) {
  parts_.push_back(host::text("git"));
  for (const char* word : words) parts_.push_back(host::text(word));
}

Command& Command::word(Ref text) {
  parts_.push_back(std::move(text));
  return *this;
}

Command& Command::value(PyObject* text) {
  if (PyUnicode_Check(text) && host::starts_with(text, "-")) refused_ = true;
  parts_.push_back(Ref::borrow(text));
  return *this;
}

Ref Command::argv() const {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(parts_.size())));
  Py_ssize_t i = 0;
  for (const Ref& part : parts_) PyList_SET_ITEM(list.get(), i++, Py_NewRef(part.get()));
  return list;
}

bool Result::ok() const {
  if (!completed_) return false;
  static const host::Interned returncode{"returncode"};
  Ref code = host::getattr(completed_.get(), returncode);
  if (PyLong_CheckExact(code.get())) {
    int overflow = 0;
    return PyLong_AsLongAndOverflow(code.get(), &overflow) == 0 && overflow == 0;
  }
  Ref zero = host::integer(0);
  return host::equal(code.get(), zero.get());
}

Ref Result::stdout_() const {
  static const host::Interned name{"stdout"};
  return completed_ ? host::getattr(completed_.get(), name) : host::text("");
}

Ref Result::stderr_() const {
  static const host::Interned name{"stderr"};
  return completed_ ? host::getattr(completed_.get(), name) : host::text("");
}

Runner::Runner(Service& self) : Runner(host::import("subprocess"), &self, Ref()) {}

Runner::Runner(Ref subprocess, Service* self, Ref directory)
    : subprocess_(std::move(subprocess)), self_(self), directory_(std::move(directory)) {}

Runner Runner::in(Ref directory) const { return Runner(Ref::borrow(subprocess_.get()), nullptr, std::move(directory)); }

Runner Runner::in_current_directory() const { return Runner(Ref::borrow(subprocess_.get()), nullptr, Ref()); }

Ref Runner::directory() const {
  if (self_ != nullptr) return self_->cwd();
  return directory_ ? Ref::borrow(directory_.get()) : Ref();
}

Result Runner::run(const Command& command, Limit limit, Output output) const {
  Ref cwd = directory();
  if (command.refused()) return Result::refused();
  static const host::Interned run_name{"run"};
  static const host::Interned replace{"replace"};
  static const host::KwNames with_cwd{"capture_output", "text", "timeout", "cwd"};
  static const host::KwNames without_cwd{"capture_output", "text", "timeout"};
  static const host::KwNames replacing_with_cwd{"capture_output", "text", "errors", "timeout", "cwd"};
  Ref run_function = host::getattr(subprocess_.get(), run_name);
  Ref argv = command.argv();
  Ref timeout = host::integer(seconds(limit));
  PyObject* text = host::boolean(output != Output::Bytes);
  auto call = [&](const auto& names, std::initializer_list<PyObject*> values) {
    return Result(host::call(run_function.get(), {argv.get()}, names, values));
  };
  if (!cwd) return call(without_cwd, {Py_True, text, timeout.get()});
  if (output == Output::ShownText)
    return call(replacing_with_cwd, {Py_True, text, replace.get(), timeout.get(), cwd.get()});
  return call(with_cwd, {Py_True, text, timeout.get(), cwd.get()});
}

void change_back(PyObject* os, PyObject* original, bool body_failed) {
  static const host::Interned chdir{"chdir"};
  if (body_failed) {
    host::call_method_in_finally(os, chdir, {original});
  } else {
    host::call_method(os, chdir, {original});
  }
}

}  // namespace core::git
