// Mutexes and scoped locks that Clang's thread-safety analysis understands. A field marked
// GUARDED_BY(mu) may only be touched with mu held; a function marked REQUIRES(mu) only called
// with it held; a mutex marked ACQUIRED_AFTER(other) only taken after `other`. Built with
// clang and -Wthread-safety -Wthread-safety-beta (`make thread-safety`), a path that breaks
// one of these does not compile. Other compilers see plain std mutexes.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define QUARN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUARN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QUARN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QUARN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QUARN_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QUARN_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) QUARN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QUARN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QUARN_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) QUARN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QUARN_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QUARN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) QUARN_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) QUARN_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define ASSERT_SHARED_CAPABILITY(x) QUARN_THREAD_ANNOTATION(assert_shared_capability(x))
#define RETURN_CAPABILITY(x) QUARN_THREAD_ANNOTATION(lock_returned(x))
#define EXCLUDES(...) QUARN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS QUARN_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace quarn_core {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

class CAPABILITY("mutex") SharedMutex {
 public:
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mu_.unlock_shared(); }
  // Tells the analysis that the lock is held shared for this code, where it cannot connect
  // the code to the caller that holds it: a lambda, or a task that parallel_for runs on
  // another thread while its caller waits with the lock held. Nothing is checked at run time.
  void held_shared_by_caller() const ASSERT_SHARED_CAPABILITY(this) {}

 private:
  std::shared_mutex mu_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

// Holds a SharedMutex exclusively for its scope.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~WriterLock() RELEASE() { mu_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mu_;
};

// Holds a SharedMutex shared for its scope, or until unlock().
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mu) ACQUIRE_SHARED(mu) : mu_(mu) { mu_.lock_shared(); }
  ~ReaderLock() RELEASE() {
    if (held_) mu_.unlock_shared();
  }
  void unlock() RELEASE() {
    mu_.unlock_shared();
    held_ = false;
  }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mu_;
  bool held_ = true;
};

}  // namespace quarn_core
