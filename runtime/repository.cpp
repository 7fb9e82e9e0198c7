// The class repository: MOF files loaded into a schema and served by name
// through IWbemServices.

#include "runtime/repository.h"

#include <atomic>
#include <memory>
#include <unordered_map>
#include <utility>

#include "common/safe_files.h"
#include "runtime/class_object.h"
#include "runtime/mof_parser.h"
#include "runtime/testing/seams_internal.h"

namespace qmx {
namespace {

// Serves the classes of one schema. Each class has one class object, made
// with the repository and handed out by every GetObject, as a call asks for
// the same few classes every time; the objects share the schema, which
// lives as long as any of them does.
class Repository : public IWbemServices {
 public:
  explicit Repository(SchemaRef schema);

  ULONG AddRef() override { return ++m_refs; }
  ULONG Release() override {
    ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetObject(const std::string& path, long flags, IWbemContext* context,
                    IWbemClassObject** object,
                    IWbemCallResult** callResult) override;

 private:
  ~Repository() override;

  const SchemaRef m_schema;
  std::unordered_map<const ClassDef*, Ref<IWbemClassObject>> m_classes;
  std::atomic<ULONG> m_refs{1};
};

Repository::Repository(SchemaRef schema) : m_schema(std::move(schema)) {
  for (const auto& def : m_schema->All()) {
    // A parameter class is reached through its method, not by name.
    if (m_schema->Find(def->name) != def.get()) continue;
    m_classes.emplace(def.get(), NewClassObject(m_schema, def.get()));
  }
}

Repository::~Repository() = default;

HRESULT Repository::GetObject(const std::string& path, long flags, IWbemContext*,
                              IWbemClassObject** object,
                              IWbemCallResult** callResult) {
  if (callResult != nullptr) *callResult = nullptr;
  if (object == nullptr) return WBEM_E_INVALID_PARAMETER;
  *object = nullptr;
  if (flags != 0) return WBEM_E_INVALID_PARAMETER;  // no optional flag is served
  HRESULT injected =
      internal::InjectedFault(testing::HostOperation::kGetObject, path.c_str());
  if (injected != WBEM_S_NO_ERROR) return injected;
  auto it = m_classes.find(m_schema->Find(path));
  if (it == m_classes.end()) return WBEM_E_NOT_FOUND;
  it->second->AddRef();
  *object = it->second.get();
  return WBEM_S_NO_ERROR;
}

// The product's schema is a few KiB; a file far past that is not one.
constexpr size_t kSchemaLimit = 16 << 20;

// One named text per file, parsed in order into one schema.
IWbemServices* Load(const std::vector<std::pair<std::string, std::string>>& files,
                    std::string* error) {
  auto schema = std::make_shared<Schema>();
  for (const auto& file : files) {
    if (!ParseMof(file.second, file.first, schema.get(), error)) return nullptr;
  }
  if (!ResolveEmbeddedClasses(schema.get(), error)) return nullptr;
  error->clear();
  return new Repository(std::move(schema));
}

}  // namespace

IWbemServices* LoadRepository(const std::vector<std::string>& mofPaths,
                              std::string* error) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string& path : mofPaths) {
    std::string text;
    if (ReadFileBounded(path, kSchemaLimit, ReadRule::kShared, &text, error) != 0) {
      return nullptr;
    }
    files.emplace_back(path, std::move(text));
  }
  return Load(files, error);
}

IWbemServices* LoadRepositoryFromText(const std::string& mofText,
                                      const std::string& fileName,
                                      std::string* error) {
  return Load({{fileName, mofText}}, error);
}

}  // namespace qmx
