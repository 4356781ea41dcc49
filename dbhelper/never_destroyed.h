// Process-wide state that threads may still use while the process exits: built on first
// use and never destroyed, so no exit-time destructor can pull it from under them.
#ifndef DBHELPER_NEVER_DESTROYED_H_
#define DBHELPER_NEVER_DESTROYED_H_

#include <new>

namespace dbhelper {

// Returns the one T for `Tag`, constructed on first use.
template <typename T, typename Tag = T>
T& neverDestroyed() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* const object = ::new (storage) T();
  return *object;
}

}  // namespace dbhelper

#endif  // DBHELPER_NEVER_DESTROYED_H_
