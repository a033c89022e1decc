#include "platform/secret/Secrets.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <libsecret/secret.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/env/Environment.h"
#include "platform/fs/Files.h"
#include "platform/fs/SafeFiles.h"
#include "platform/text/Escapes.h"

namespace brevant::platform::secrets {
namespace {

// --- The desktop's secret store through libsecret ----------------------------

struct SecretApi {
  decltype(&::secret_password_store_sync) store = nullptr;
  decltype(&::secret_password_lookup_sync) lookup = nullptr;
  decltype(&::secret_password_clear_sync) clear = nullptr;
  decltype(&::secret_password_free) free = nullptr;
  decltype(&::g_error_free) errorFree = nullptr;
  decltype(&::g_cancellable_new) cancellableNew = nullptr;
  decltype(&::g_cancellable_cancel) cancel = nullptr;
  decltype(&::g_object_unref) unref = nullptr;
  bool loaded = false;
};

// Loaded on first use: the runs that never touch a password never pay for
// libsecret, GIO and D-Bus.
const SecretApi& Api() {
  static const SecretApi api = [] {
    SecretApi a;
    void* lib = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return a;
    auto load = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(lib, name));
      return fn != nullptr;
    };
    a.loaded = load(a.store, "secret_password_store_sync") & load(a.lookup, "secret_password_lookup_sync") &
               load(a.clear, "secret_password_clear_sync") & load(a.free, "secret_password_free") &
               load(a.errorFree, "g_error_free") & load(a.cancellableNew, "g_cancellable_new") &
               load(a.cancel, "g_cancellable_cancel") & load(a.unref, "g_object_unref");
    return a;
  }();
  return api;
}

const SecretSchema kSchema = {"org.pelorin.Brevant",
                              SECRET_SCHEMA_NONE,
                              {{"store", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"name", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                              0,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr};

// A secret service answers on the session bus. Tests and portable installs
// (BREVANT_REGISTRY_DIR) use it only when a bus address is given outright,
// so they never write into the desktop's own store by accident.
bool SessionBus() {
  if (const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS"); a && *a) return true;
  if (env::IsSet(env::Var::RegistryDir)) return false;
  const char* x = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  return x && *x && ::stat((std::string(x) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Entries of separate registry stores stay apart in the desktop's store.
std::string StoreId() {
  const std::string r = env::Get(env::Var::RegistryDir);
  return r.empty() ? "user" : r;
}

// Cancels a call to the secret service that takes too long (a locked
// keyring waiting for a prompt nobody answers).
class Watchdog {
 public:
  explicit Watchdog(const SecretApi& api) : api_(api), cancellable_(api.cancellableNew()) {
    thread_ = std::thread([this] {
      std::unique_lock lock(mutex_);
      if (!done_cv_.wait_for(lock, std::chrono::seconds(20), [this] { return done_; }))
        api_.cancel(cancellable_);
    });
  }
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
    api_.unref(cancellable_);
  }
  GCancellable* Get() const { return cancellable_; }

 private:
  const SecretApi& api_;
  GCancellable* cancellable_;
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

bool ServiceUsable() {
  return SessionBus() && Api().loaded;
}

std::string TakeError(GError* e) {
  std::string text = e && e->message ? e->message : "unknown error";
  if (e) Api().errorFree(e);
  return text;
}

bool ServiceStore(const std::string& name, const std::string& label, const std::string& value,
                  std::string* why) {
  const SecretApi& api = Api();
  Watchdog dog(api);
  GError* error = nullptr;
  gboolean ok = api.store(&kSchema, SECRET_COLLECTION_DEFAULT, label.c_str(), value.c_str(), dog.Get(),
                          &error, "store", StoreId().c_str(), "name", name.c_str(), nullptr);
  if (!ok) *why = "the secret service: " + TakeError(error);
  return ok;
}

std::optional<std::string> ServiceLookup(const std::string& name) {
  const SecretApi& api = Api();
  Watchdog dog(api);
  GError* error = nullptr;
  gchar* value =
      api.lookup(&kSchema, dog.Get(), &error, "store", StoreId().c_str(), "name", name.c_str(), nullptr);
  if (error) TakeError(error);
  if (!value) return std::nullopt;
  std::string out = value;
  api.free(value);
  return out;
}

void ServiceClear(const std::string& name) {
  const SecretApi& api = Api();
  Watchdog dog(api);
  GError* error = nullptr;
  api.clear(&kSchema, dog.Get(), &error, "store", StoreId().c_str(), "name", name.c_str(), nullptr);
  if (error) TakeError(error);
}

// --- The user-only file ------------------------------------------------------
// One "name=value" line per secret, both escaped.

using Entries = std::map<std::string, std::string>;

std::string Escape(const std::string& s) {
  return HexEscape(s, "%=\r\n");
}

bool ReadEntries(Entries* out, std::string* why) {
  out->clear();
  UniqueFd fd(::open(FilePath().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return true;
    *why = FilePath() + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      st.st_size > (1 << 20)) {
    *why = FilePath() + " is not a file of this user's own";
    return false;
  }
  if (st.st_mode & 077) ::fchmod(fd.get(), 0600);  // never readable by others again
  std::string text;
  char buf[8192];
  for (ssize_t n; (n = ::read(fd.get(), buf, sizeof buf)) > 0;) text.append(buf, std::size_t(n));
  fd.reset();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    std::size_t eq = line.find('=');
    if (eq != std::string::npos) (*out)[HexUnescape(line.substr(0, eq))] = HexUnescape(line.substr(eq + 1));
    start = end + 1;
  }
  return true;
}

// The whole file written anew beside its place and renamed over it; it is
// created with mode 0600 and never through a symlink.
bool WriteEntries(const Entries& entries, std::string* why) {
  const std::string path = FilePath();
  std::filesystem::path dir = std::filesystem::path(path).parent_path();
  std::error_code ec;
  if (!std::filesystem::exists(dir, ec)) {
    std::filesystem::create_directories(dir, ec);
    ::chmod(dir.c_str(), 0700);
  }
  std::string text;
  for (const auto& [k, v] : entries) text += Escape(k) + "=" + Escape(v) + "\n";
  return WriteFileAtomic(path, text, platform::AtomicOptions(0600).Exact(), why);
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string SecretName(reg::HKEY root, const std::string& key, const std::string& valueName) {
  return reg::RootName(root) + "\\" + Lower(key) + "\\" + Lower(valueName);
}

// The registry value as text, when it is a string; nullopt otherwise.
std::optional<std::string> RegistryString(reg::HKEY root, const std::string& key,
                                          const std::string& valueName) {
  reg::HKEY k = 0;
  if (reg::OpenKey(root, key, reg::kKeyRead, &k) != reg::kOk) return std::nullopt;
  std::uint32_t type = 0, size = 0;
  std::optional<std::string> out;
  if (reg::QueryValue(k, valueName, &type, nullptr, &size) == reg::kOk &&
      (type == reg::REG_SZ || type == reg::REG_EXPAND_SZ)) {
    std::string data(size, '\0');
    if (reg::QueryValue(k, valueName, &type, data.data(), &size) == reg::kOk) {
      data.resize(size);
      while (!data.empty() && data.back() == '\0') data.pop_back();
      out = data;
    }
  }
  reg::CloseKey(k);
  return out;
}

void DeleteRegistryValue(reg::HKEY root, const std::string& key, const std::string& valueName) {
  reg::HKEY k = 0;
  if (reg::OpenKey(root, key, reg::kKeyAllAccess, &k) != reg::kOk) return;
  bool deleted = reg::DeleteValue(k, valueName) == reg::kOk;
  reg::CloseKey(k);
  if (deleted) reg::ScrubHive(root);
}

}  // namespace

std::string FilePath() {
  if (std::string r = platform::env::Get(platform::env::Var::RegistryDir); !r.empty()) return r + "/secrets";
  std::string cfg;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) {
    cfg = x;
  } else {
    cfg = HomeFolder() + "/.config";
  }
  return cfg + "/brevant/secrets";
}

Where Store(const std::string& name, const std::string& label, const std::string& value, std::string* why) {
  std::string serviceWhy;
  if (ServiceUsable()) {
    if (ServiceStore(name, label, value, &serviceWhy)) {
      // No second copy stays behind in the file.
      Entries e;
      std::string ignored;
      if (ReadEntries(&e, &ignored) && e.erase(name)) WriteEntries(e, &ignored);
      return Where::SecretService;
    }
  }
  Entries e;
  if (!ReadEntries(&e, why)) return Where::None;
  e[name] = value;
  if (!WriteEntries(e, why)) return Where::None;
  return Where::File;
}

std::optional<std::string> Lookup(const std::string& name, Where* where) {
  if (where) *where = Where::None;
  if (ServiceUsable()) {
    if (auto v = ServiceLookup(name)) {
      if (where) *where = Where::SecretService;
      return v;
    }
  }
  Entries e;
  std::string why;
  if (!ReadEntries(&e, &why)) return std::nullopt;
  auto it = e.find(name);
  if (it == e.end()) return std::nullopt;
  if (where) *where = Where::File;
  return it->second;
}

void Clear(const std::string& name) {
  if (ServiceUsable()) ServiceClear(name);
  Entries e;
  std::string why;
  if (ReadEntries(&e, &why) && e.erase(name)) WriteEntries(e, &why);
}

std::string ReadRegistrySecret(reg::HKEY root, const std::string& key, const std::string& valueName,
                               std::string* why) {
  const std::string name = SecretName(root, key, valueName);
  if (std::optional<std::string> clear = RegistryString(root, key, valueName)) {
    if (clear->empty() || *clear == kMask) {
      DeleteRegistryValue(root, key, valueName);
    } else {
      std::string whyNot;
      if (Store(name, "Brevant " + valueName, *clear, &whyNot) == Where::None) {
        if (why) *why = whyNot;
        return *clear;
      }
      DeleteRegistryValue(root, key, valueName);
      return *clear;
    }
  }
  return Lookup(name).value_or("");
}

bool WriteRegistrySecret(reg::HKEY root, const std::string& key, const std::string& valueName,
                         const std::string& value, std::string* why) {
  const std::string name = SecretName(root, key, valueName);
  DeleteRegistryValue(root, key, valueName);
  if (value.empty()) {
    Clear(name);
    return true;
  }
  return Store(name, "Brevant " + valueName, value, why) != Where::None;
}

bool MoveRegistrySecrets(reg::HKEY root, std::string* why) {
  bool ok = true;
  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    std::string key = pending.back();
    pending.pop_back();
    reg::HKEY k = 0;
    if (reg::OpenKey(root, key, reg::kKeyRead, &k) != reg::kOk) continue;
    std::vector<reg::Value> values;
    std::vector<std::string> subs;
    reg::EnumValues(k, &values);
    reg::EnumSubKeys(k, &subs);
    reg::CloseKey(k);
    for (const auto& s : subs) pending.push_back(key.empty() ? s : key + "\\" + s);
    for (const auto& v : values) {
      if (!reg::IsSecretValueName(v.name) || (v.type != reg::REG_SZ && v.type != reg::REG_EXPAND_SZ))
        continue;
      std::string whyNot;
      ReadRegistrySecret(root, key, v.name, &whyNot);
      if (!whyNot.empty()) {
        ok = false;
        *why = whyNot;
      }
    }
  }
  return ok;
}

}  // namespace brevant::platform::secrets
