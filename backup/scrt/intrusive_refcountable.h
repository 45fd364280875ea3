#ifndef BACKUP_SCRT_INTRUSIVE_REFCOUNTABLE_H
#define BACKUP_SCRT_INTRUSIVE_REFCOUNTABLE_H

#include <ace/Atomic_Op.h>
#include <ace/Thread_Mutex.h>

// A reference count inside the object, for ACE_Intrusive_Auto_Ptr<T>:
//
//   class HTTP_Session : public ACE_Intrusive_Refcountable_T<HTTP_Session, ACE_Thread_Mutex> {...};
//   ACE_Intrusive_Auto_Ptr<HTTP_Session> session(new HTTP_Session);   // count 1
//
// A new object starts at 0; each holder adds one reference and removes it when
// done; the holder that removes the last one deletes the object through its
// virtual destructor. Holders on different threads may release at the same
// time: exactly one of them deletes. Copying an object does not copy its count.
template <typename T, typename ACE_LOCK>
class ACE_Intrusive_Refcountable_T {
public:
  virtual ~ACE_Intrusive_Refcountable_T() = default;

  // Adds a reference; a null `p` is ignored.
  static void intrusive_add_ref(T* p)
  {
    if (p == nullptr) return;
    ++base(p)->refcount_;
  }

  // Removes a reference when `p` is not null and holds one, and deletes `p` when
  // that was the last. Whether it was the last is taken from the value the
  // atomic decrement returns, never from a second read of the count, so two
  // holders releasing the last two references cannot both delete.
  static void intrusive_remove_ref(T* p)
  {
    if (p == nullptr) return;
    ACE_Intrusive_Refcountable_T* self = base(p);
    if (self->refcount_.value() <= 0) return;
    if (--self->refcount_ == 0) delete p;
  }

  long refcount() const { return refcount_.value(); }

protected:
  ACE_Intrusive_Refcountable_T() : refcount_(0) {}
  ACE_Intrusive_Refcountable_T(const ACE_Intrusive_Refcountable_T&) : refcount_(0) {}
  ACE_Intrusive_Refcountable_T& operator=(const ACE_Intrusive_Refcountable_T&) { return *this; }

private:
  static ACE_Intrusive_Refcountable_T* base(T* p) { return p; }

  ACE_Atomic_Op<ACE_LOCK, long> refcount_;
};

#endif
