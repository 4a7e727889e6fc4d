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

Result run(PyObject* subprocess, const Command& command, const Run& how) {
  if (command.refused()) return Result::refused();
  static const host::Interned run_name{"run"};
  static const host::Interned replace{"replace"};
  static const host::KwNames with_cwd{"capture_output", "text", "timeout", "cwd"};
  static const host::KwNames without_cwd{"capture_output", "text", "timeout"};
  static const host::KwNames replacing_with_cwd{"capture_output", "text", "errors", "timeout", "cwd"};
  Ref run_function = host::getattr(subprocess, run_name);
  Ref argv = command.argv();
  Ref timeout = host::integer(how.timeout);
  PyObject* text = host::boolean(how.text);
  auto call = [&](const auto& names, std::initializer_list<PyObject*> values) {
    return Result(host::call(run_function.get(), {argv.get()}, names, values));
  };
  if (how.cwd == nullptr) return call(without_cwd, {Py_True, text, timeout.get()});
  if (how.replace_errors) return call(replacing_with_cwd, {Py_True, text, replace.get(), timeout.get(), how.cwd});
  return call(with_cwd, {Py_True, text, timeout.get(), how.cwd});
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
