#ifndef BACKUP_JOB_DEF_OBJECT_CREATOR_IMPL_H
#define BACKUP_JOB_DEF_OBJECT_CREATOR_IMPL_H

// A creator object of the host (Base = Object_Creator_T<T>) that makes objects of the
// type Impl, a T.

#include <cerrno>
#include <new>

#include "platform/json/object_creator.h"

template <typename Creator>
struct Created_Object;

template <typename T>
struct Created_Object<Object_Creator_T<T>> {
  typedef T type;
};

template <typename Base, typename Impl>
class Object_Creator_Impl_T : public Base {
public:
  typedef typename Created_Object<Base>::type Object;

  // A new Impl, or null with errno ENOMEM.
  Object* create() override
  {
    Impl* impl = new (std::nothrow) Impl();
    if (impl == nullptr)
      errno = ENOMEM;
    return impl;
  }

  // Deletes an object made by create(), through its virtual destructor; null is ignored.
  void destroy(Object* object) override { delete object; }
};

#endif  // BACKUP_JOB_DEF_OBJECT_CREATOR_IMPL_H
