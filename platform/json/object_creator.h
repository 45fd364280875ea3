#ifndef PLATFORM_JSON_OBJECT_CREATOR_H
#define PLATFORM_JSON_OBJECT_CREATOR_H

#pragma GCC visibility push(default)

// A factory object the host obtains from a module: init() once after it is
// obtained, create()/destroy() any number of times, fini() once before it is
// released. init and fini return 0 on success and -1 on failure.
template <typename T>
class Object_Creator_T {
 public:
  virtual ~Object_Creator_T() {}

  virtual int init(int argc, char** argv)
  {
    (void)argc;
    (void)argv;
    return 0;
  }
  virtual int fini() { return 0; }
  // A new object owned by the caller until it is given back to destroy(); null
  // on failure with errno set.
  virtual T* create() = 0;
  // Releases an object made by create(); null is ignored.
  virtual void destroy(T* object) = 0;
};

#pragma GCC visibility pop

#endif
