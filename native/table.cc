// JNI entry points of gameserver.dbiface.Table. A handle names one table path; each call
// builds a DBHelper on it for that call alone, as DBIface does, but prints no trace lines.
// Java objects are made, and failures thrown, once the table is unlocked again. No C++
// exception leaves here.
#include <jni.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dbhelper/DBHelper.h"
#include "dbhelper/never_destroyed.h"
#include "dbhelper/options.h"
#include "gameserver_dbiface_Table.h"  // generated from the Java class by javac -h
#include "native/jni_util.h"

namespace {

using dbhelper::DataRow;
using dbhelper::DBHelper;
using dbhelper::Status;

// The open handles, and how many of them name each path: what the process keeps for a
// table between calls is let go when the last handle on it closes.
class Handles {
 public:
  jlong add(const std::string& path) {
    auto shared = std::make_shared<const std::string>(path);
    std::lock_guard<std::mutex> l(mu_);
    const jlong id = next_++;
    open_.emplace(id, std::move(shared));
    ++users_[path];
    return id;
  }

  std::shared_ptr<const std::string> find(jlong id) {
    std::lock_guard<std::mutex> l(mu_);
    auto it = open_.find(id);
    return it == open_.end() ? nullptr : it->second;
  }

  // Removes the handle; returns its path when no other handle names it.
  std::optional<std::string> remove(jlong id) {
    std::lock_guard<std::mutex> l(mu_);
    auto it = open_.find(id);
    if (it == open_.end()) return std::nullopt;
    std::string path = *it->second;
    open_.erase(it);
    auto u = users_.find(path);
    if (u == users_.end() || --u->second > 0) return std::nullopt;
    users_.erase(u);
    return path;
  }

 private:
  std::mutex mu_;
  jlong next_ = 1;
  std::unordered_map<jlong, std::shared_ptr<const std::string>> open_;
  std::unordered_map<std::string, int> users_;
};

Handles& handles() { return dbhelper::neverDestroyed<Handles>(); }

// Runs `op(table)` on a DBHelper opened with `access` and returns what it returns (or
// the table's own failure); the trace lines go nowhere. *missing: no file at the path.
template <typename Op>
Status onTable(const std::string& path, DBHelper::Access access, bool* missing, Op op) {
  std::string trace;
  DBHelper table(path, &trace, access, dbiface::libraryOptions());
  *missing = table.status().ok() && table.missing();
  if (!table.status().ok() || *missing) return table.status();
  Status s = op(table);
  return s.ok() ? table.status() : s;  // reads leave their failure there
}

// Throws for a failed call; returns whether it succeeded. Called with the table unlocked.
bool report(JNIEnv* env, const std::string& path, const Status& s, bool missing) {
  if (missing) {
    dbiface::throwNoSuchFile(env, "table " + path + " does not exist", path);
    return false;
  }
  if (!s.ok()) dbiface::throwStatus(env, s);
  return s.ok();
}

// Runs `body(path)` for an open handle; throws IllegalStateException for a closed one and
// maps C++ failures to Java errors.
template <typename R, typename Body>
R withHandle(JNIEnv* env, jlong id, R onError, Body body) {
  return dbiface::guarded<R>(env, onError, [&]() -> R {
    const std::shared_ptr<const std::string> path = handles().find(id);
    if (!path) {
      dbiface::throwIllegalState(env, "the table is closed");
      return onError;
    }
    return body(*path);
  });
}

// Sets *row to data row `index`, or says that the table has no such row.
Status findRow(DBHelper& t, int32_t index, DataRow* row) {
  if (t.rowAt(index, row)) return Status::OK();
  const int32_t rows = t.getNumRows();
  if (!t.status().ok()) return t.status();
  return Status::OutOfRange("row " + std::to_string(index) + " is outside 1.." + std::to_string(rows) +
                            " (the table has " + std::to_string(rows) + " rows)");
}

// Converts every element of a String[] (none null) to UTF-8; nothing with an exception
// pending.
std::optional<std::vector<std::string>> utf8Array(JNIEnv* env, jobjectArray array) {
  const jsize n = env->GetArrayLength(array);
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(n));
  for (jsize i = 0; i < n; ++i) {
    dbiface::LocalRef e(env, env->GetObjectArrayElement(array, i));
    if (env->ExceptionCheck()) return std::nullopt;
    std::optional<std::string> s = dbiface::toUtf8(env, static_cast<jstring>(e.get()));
    if (!s) return std::nullopt;
    out.push_back(std::move(*s));
  }
  return out;
}

jobjectArray fieldsArray(JNIEnv* env, const DataRow& row, int32_t n) {
  return dbiface::stringArray(env, row.fields.data(), static_cast<size_t>(std::max<int32_t>(0, n)));
}

// One append of `rows` built by `build(table, &rows)` under the table's lock.
template <typename Build>
void appendBuilt(JNIEnv* env, const std::string& path, Build build) {
  bool missing = false;
  const Status s = onTable(path, DBHelper::Access::kAppend, &missing, [&](DBHelper& t) {
    std::vector<DataRow> rows;
    Status b = build(t, &rows);
    return b.ok() ? t.writeRows(rows) : b;
  });
  report(env, path, s, missing);
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_gameserver_dbiface_Table_open0(JNIEnv* env, jclass, jstring jpath, jobjectArray jcolumns) {
  return dbiface::guarded<jlong>(env, 0, [&]() -> jlong {
    std::optional<std::string> path = dbiface::toUtf8(env, jpath);
    if (!path) return 0;
    bool missing = false;
    Status s;
    if (jcolumns == nullptr) {
      s = onTable(*path, DBHelper::Access::kRead, &missing, [](DBHelper&) { return Status::OK(); });
    } else {
      std::optional<std::vector<std::string>> columns = utf8Array(env, jcolumns);
      if (!columns) return 0;
      DataRow header;
      s = dbhelper::headerFromColumns(std::vector<std::string_view>(columns->begin(), columns->end()), &header);
      const dbhelper::Options& o = dbiface::libraryOptions();
      if (s.ok()) s = dbhelper::File::CreateIfMissing(*path, o.durable(), *o.sys);
      if (s.ok()) s = onTable(*path, DBHelper::Access::kWrite, &missing, [&](DBHelper& t) { return t.writeHeader(header); });
    }
    if (!report(env, *path, s, missing)) return 0;
    return handles().add(*path);
  });
}

JNIEXPORT void JNICALL Java_gameserver_dbiface_Table_close0(JNIEnv*, jclass, jlong id) {
  try {
    const std::optional<std::string> last = handles().remove(id);
    if (last) DBHelper::Forget(*last, dbiface::libraryOptions());
  } catch (...) {  // no memory: what is kept stays, bounded as for DBIface
  }
}

JNIEXPORT jobjectArray JNICALL Java_gameserver_dbiface_Table_columns0(JNIEnv* env, jclass, jlong id) {
  return withHandle<jobjectArray>(env, id, nullptr, [&](const std::string& path) -> jobjectArray {
    DataRow header;
    bool missing = false;
    const Status s = onTable(path, DBHelper::Access::kRead, &missing, [&](DBHelper& t) {
      header = t.header();
      return Status::OK();
    });
    return report(env, path, s, missing) ? fieldsArray(env, header, header.count) : nullptr;
  });
}

JNIEXPORT jint JNICALL Java_gameserver_dbiface_Table_rowCount0(JNIEnv* env, jclass, jlong id) {
  return withHandle<jint>(env, id, 0, [&](const std::string& path) {
    int32_t n = 0;
    bool missing = false;
    const Status s = onTable(path, DBHelper::Access::kRead, &missing, [&](DBHelper& t) {
      n = t.getNumRows();
      return Status::OK();
    });
    return report(env, path, s, missing) ? static_cast<jint>(n) : jint{0};
  });
}

JNIEXPORT jstring JNICALL Java_gameserver_dbiface_Table_rowText0(JNIEnv* env, jclass, jlong id, jint index) {
  return withHandle<jstring>(env, id, nullptr, [&](const std::string& path) -> jstring {
    std::string text;
    bool missing = false;
    const Status s = onTable(path, DBHelper::Access::kRead, &missing, [&](DBHelper& t) {
      DataRow row;
      Status found = findRow(t, index, &row);
      if (!found.ok()) return found;
      text = dbhelper::renderRow(t.header(), row);
      return Status::OK();
    });
    return report(env, path, s, missing) ? dbiface::newString(env, text) : nullptr;
  });
}

JNIEXPORT jobjectArray JNICALL Java_gameserver_dbiface_Table_row0(JNIEnv* env, jclass, jlong id, jint index) {
  return withHandle<jobjectArray>(env, id, nullptr, [&](const std::string& path) -> jobjectArray {
    std::vector<std::string> pairs;
    bool missing = false;
    const Status s = onTable(path, DBHelper::Access::kRead, &missing, [&](DBHelper& t) {
      DataRow row;
      Status found = findRow(t, index, &row);
      if (!found.ok()) return found;
      const int32_t n = std::min(row.count, t.header().count);
      for (int32_t k = 0; k < n; ++k) {
        pairs.push_back(t.header().fields[k]);
        pairs.push_back(std::move(row.fields[k]));
      }
      return Status::OK();
    });
    return report(env, path, s, missing) ? dbiface::stringArray(env, pairs.data(), pairs.size()) : nullptr;
  });
}

JNIEXPORT jobjectArray JNICALL Java_gameserver_dbiface_Table_rows0(JNIEnv* env, jclass, jlong id) {
  return withHandle<jobjectArray>(env, id, nullptr, [&](const std::string& path) -> jobjectArray {
    // Every field back to back in one buffer: a table's rows take about their size here.
    DataRow header;
    std::string bytes;
    std::vector<uint32_t> ends;    // where each field ends in `bytes`
    std::vector<uint32_t> counts;  // fields of each row, at most the header's
    bool missing = false;
    const Status s = onTable(path, DBHelper::Access::kRead, &missing, [&](DBHelper& t) {
      const int32_t n = t.getNumRows();
      if (!t.status().ok()) return t.status();
      header = t.header();
      counts.reserve(static_cast<size_t>(n));
      DataRow row;
      for (int32_t i = 1; i <= n; ++i) {
        if (!t.rowAt(i, &row)) break;
        const int32_t k = std::min(row.count, header.count);
        for (int32_t j = 0; j < k; ++j) {
          bytes += row.fields[j];
          if (bytes.size() > UINT32_MAX) return Status::IOError("table " + path + " is too large to return at once");
          ends.push_back(static_cast<uint32_t>(bytes.size()));
        }
        counts.push_back(static_cast<uint32_t>(k));
      }
      return t.status();
    });
    if (!report(env, path, s, missing)) return nullptr;
    dbiface::LocalRef cls(env, env->FindClass("[Ljava/lang/String;"));
    dbiface::LocalRef stringClass(env, cls ? env->FindClass("java/lang/String") : nullptr);
    if (!stringClass) return nullptr;
    jobjectArray out = env->NewObjectArray(static_cast<jsize>(counts.size() + 1), static_cast<jclass>(cls.get()), nullptr);
    if (out == nullptr) return nullptr;
    dbiface::LocalRef names(env, fieldsArray(env, header, header.count));
    if (!names) {
      env->DeleteLocalRef(out);
      return nullptr;
    }
    env->SetObjectArrayElement(out, 0, names.get());
    size_t field = 0;
    uint32_t from = 0;
    std::string values[dbhelper::kMaxFields];
    for (size_t i = 0; i < counts.size(); ++i) {
      for (uint32_t j = 0; j < counts[i]; ++j, ++field) {
        values[j].assign(bytes, from, ends[field] - from);
        from = ends[field];
      }
      dbiface::LocalRef fields(env, dbiface::stringArray(env, static_cast<jclass>(stringClass.get()), values, counts[i]));
      if (!fields) {
        env->DeleteLocalRef(out);
        return nullptr;
      }
      env->SetObjectArrayElement(out, static_cast<jsize>(i + 1), fields.get());
    }
    return out;
  });
}

JNIEXPORT void JNICALL Java_gameserver_dbiface_Table_append0(JNIEnv* env, jclass, jlong id, jstring jtext) {
  withHandle<int>(env, id, 0, [&](const std::string& path) {
    const std::optional<std::string> text = dbiface::toUtf8(env, jtext);
    if (!text) return 0;
    bool missing = false;
    const Status s = onTable(path, DBHelper::Access::kAppend, &missing,
                             [&](DBHelper& t) { return t.writeRecords({std::string_view(*text)}); });
    report(env, path, s, missing);
    return 0;
  });
}

JNIEXPORT void JNICALL Java_gameserver_dbiface_Table_appendValues0(JNIEnv* env, jclass, jlong id, jobjectArray jpairs) {
  withHandle<int>(env, id, 0, [&](const std::string& path) {
    const std::optional<std::vector<std::string>> pairs = utf8Array(env, jpairs);
    if (!pairs) return 0;
    std::vector<std::pair<std::string_view, std::string_view>> values;
    for (size_t k = 0; k + 1 < pairs->size(); k += 2) values.emplace_back((*pairs)[k], (*pairs)[k + 1]);
    appendBuilt(env, path, [&](DBHelper& t, std::vector<DataRow>* rows) {
      if (values.empty()) return Status::InvalidArgument("the record is empty");
      rows->resize(1);
      return dbhelper::rowFromValues(values, t.header(), &rows->front());
    });
    return 0;
  });
}

JNIEXPORT void JNICALL Java_gameserver_dbiface_Table_appendAll0(JNIEnv* env, jclass, jlong id, jobjectArray jtexts) {
  withHandle<int>(env, id, 0, [&](const std::string& path) {
    const std::optional<std::vector<std::string>> texts = utf8Array(env, jtexts);
    if (!texts) return 0;
    bool missing = false;
    const Status s = onTable(path, DBHelper::Access::kAppend, &missing, [&](DBHelper& t) {
      return t.writeRecords(std::vector<std::string_view>(texts->begin(), texts->end()));
    });
    report(env, path, s, missing);
    return 0;
  });
}

JNIEXPORT void JNICALL Java_gameserver_dbiface_Table_insert0(JNIEnv* env, jclass, jlong id, jint row, jstring jtext) {
  withHandle<int>(env, id, 0, [&](const std::string& path) {
    const std::optional<std::string> text = dbiface::toUtf8(env, jtext);
    if (!text) return 0;
    bool missing = false;
    const Status s = onTable(path, DBHelper::Access::kWrite, &missing, [&](DBHelper& t) {
      DataRow parsed;
      Status p = t.parseRecordText(*text, &parsed);
      if (p.ok() && parsed.count == 0) p = Status::InvalidArgument("the record is empty");
      return p.ok() ? t.writeRowToLine(*text, row) : p;
    });
    report(env, path, s, missing);
    return 0;
  });
}

}  // extern "C"
