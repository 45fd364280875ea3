#include "backup/scrt/intrusive_refcountable.h"

#include <ace/Intrusive_Auto_Ptr.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

template <typename LOCK>
struct Counted : ACE_Intrusive_Refcountable_T<Counted<LOCK>, LOCK> {
  explicit Counted(std::atomic<int>* deletions) : deletions_(deletions) {}
  ~Counted() override { ++*deletions_; }
  std::atomic<int>* deletions_;
};

using Session = Counted<ACE_Thread_Mutex>;

// A lock that gives the processor away after every operation on the count, so
// other holders run between one holder's decrement and anything it does next.
class Yielding_Mutex {
public:
  int acquire() { return mutex_.acquire(); }
  int tryacquire() { return mutex_.tryacquire(); }
  int release()
  {
    int rc = mutex_.release();
    std::this_thread::yield();
    return rc;
  }
  int remove() { return mutex_.remove(); }

private:
  ACE_Thread_Mutex mutex_;
};

TEST(Intrusive_Refcountable, LastHolderDeletesOnce)
{
  std::atomic<int> deletions{0};
  Session::intrusive_add_ref(nullptr);
  Session::intrusive_remove_ref(nullptr);
  {
    ACE_Intrusive_Auto_Ptr<Session> a(new Session(&deletions));
    EXPECT_EQ(a->refcount(), 1);
    {
      ACE_Intrusive_Auto_Ptr<Session> b(a);
      EXPECT_EQ(a->refcount(), 2);
    }
    EXPECT_EQ(a->refcount(), 1);
    EXPECT_EQ(deletions, 0);
  }
  EXPECT_EQ(deletions, 1);

  // A count already at 0 is not decremented and nothing is deleted.
  Session* s = new Session(&deletions);
  Session::intrusive_remove_ref(s);
  EXPECT_EQ(s->refcount(), 0);
  EXPECT_EQ(deletions, 1);
  Session::intrusive_add_ref(s);
  Session::intrusive_remove_ref(s);
  EXPECT_EQ(deletions, 2);

  // A copy starts its own count.
  Session original(&deletions);
  Session::intrusive_add_ref(&original);
  Session copy(original);
  EXPECT_EQ(copy.refcount(), 0);
  EXPECT_EQ(original.refcount(), 1);
}

// A barrier that lines the releasing threads up again before each round.
class Barrier {
public:
  explicit Barrier(int n) : n_(n) {}
  void wait()
  {
    std::unique_lock<std::mutex> lock(m_);
    int const gen = generation_;
    if (++waiting_ == n_) {
      waiting_ = 0;
      ++generation_;
      cv_.notify_all();
      return;
    }
    cv_.wait(lock, [&] { return generation_ != gen; });
  }

private:
  std::mutex m_;
  std::condition_variable cv_;
  int const n_;
  int waiting_ = 0;
  int generation_ = 0;
};

// Many holders on different threads release their references at once, in
// rounds that start together; each object must be deleted exactly once.
template <typename LOCK>
void release_concurrently(int rounds, int per_round, int n_threads)
{
  using Object = Counted<LOCK>;
  int const n_objects = rounds * per_round;
  std::vector<std::atomic<int>> deletions(n_objects);
  std::vector<Object*> objects;
  for (int i = 0; i < n_objects; ++i) {
    objects.push_back(new Object(&deletions[i]));
    for (int t = 0; t < n_threads; ++t) Object::intrusive_add_ref(objects[i]);
  }

  Barrier barrier(n_threads);
  std::vector<std::thread> threads;
  for (int t = 0; t < n_threads; ++t) {
    threads.emplace_back([&] {
      for (int r = 0; r < rounds; ++r) {
        barrier.wait();
        for (int i = r * per_round; i < (r + 1) * per_round; ++i)
          Object::intrusive_remove_ref(objects[i]);
      }
    });
  }
  for (std::thread& t : threads) t.join();

  for (int i = 0; i < n_objects; ++i) ASSERT_EQ(deletions[i].load(), 1) << "object " << i;
}

TEST(Intrusive_Refcountable, ConcurrentReleaseDeletesExactlyOnce)
{
  release_concurrently<ACE_Thread_Mutex>(200, 10, 8);
  // Holders interleave between each operation on the count: deciding the delete
  // from a second read after the decrement would delete twice here.
  release_concurrently<Yielding_Mutex>(200, 10, 4);
}

}  // namespace
