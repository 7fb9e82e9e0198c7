#include "runtime/class_def.h"

#include "common/names.h"

namespace qmx {

int ClassDef::FindProperty(const char* name, size_t from) const {
  const std::string_view wanted(name);
  const size_t count = properties.size();
  for (size_t step = 0; step < count; ++step) {
    size_t i = (from + step) % count;
    if (EqualsNoCase(properties[i].name, wanted)) return static_cast<int>(i);
  }
  return -1;
}

const MethodDef* ClassDef::FindMethod(const char* name) const {
  const std::string_view wanted(name);
  for (const MethodDef& method : methods) {
    if (EqualsNoCase(method.name, wanted)) return &method;
  }
  return nullptr;
}

bool ClassDef::IsA(const std::string& className) const {
  for (const ClassDef* def = this; def != nullptr; def = def->super) {
    if (EqualsNoCase(def->name, className)) return true;
  }
  return false;
}

ClassDef* Schema::AddClass(const std::string& name) {
  auto inserted = m_byName.emplace(name, nullptr);
  if (!inserted.second) return nullptr;
  m_all.push_back(std::make_unique<ClassDef>());
  m_all.back()->name = name;
  inserted.first->second = m_all.back().get();
  return m_all.back().get();
}

ClassDef* Schema::AddParameterClass() {
  m_all.push_back(std::make_unique<ClassDef>());
  m_all.back()->name = "__PARAMETERS";
  return m_all.back().get();
}

const ClassDef* Schema::Find(const std::string& name) const {
  auto it = m_byName.find(name);
  return it == m_byName.end() ? nullptr : it->second;
}

}  // namespace qmx
