// tests/jref_test.cpp: the owning JNI reference types and local frames.  Whether a
// reference is still held is read from the JVM: a weak reference to the object is
// cleared by a collection once nothing strong refers to it.
#include "tests/runtime.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "common/jref.h"

namespace {

using kiv::GlobalRef;
using kiv::LocalFrame;
using kiv::LocalRef;
using kiv_test::collected;
using kiv_test::new_object;
using kiv_test::watch;

// Each test runs inside a frame of its own, so that references it forgets to delete
// cannot keep objects of the next test alive.
class JRefTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, env->PushLocalFrame(32)); }
  void TearDown() override {
    for (jweak w : weaks) env->DeleteWeakGlobalRef(w);
    env->PopLocalFrame(nullptr);
    EXPECT_FALSE(env->ExceptionCheck());
  }
  // A weak reference that TearDown deletes.
  jweak weak(jobject obj) {
    weaks.push_back(watch(env, obj));
    return weaks.back();
  }

  JNIEnv* env = kiv_test::env();
  std::vector<jweak> weaks;
};

TEST_F(JRefTest, LocalRefDeletesItsReferenceWhenItEnds) {
  jweak w;
  {
    LocalRef<> r(env, new_object(env));
    w = weak(r.get());
    EXPECT_EQ(JNILocalRefType, env->GetObjectRefType(r.get()));
    ASSERT_FALSE(collected(env, w)) << "held by the LocalRef";
  }
  EXPECT_TRUE(collected(env, w));
}

TEST_F(JRefTest, LocalRefMovesWithoutDeletingTwice) {
  LocalRef<> target(env, new_object(env));
  jweak first = weak(target.get());
  jweak second;
  {
    LocalRef<> source(env, new_object(env));
    second = weak(source.get());
    jobject raw = source.get();
    LocalRef<> moved(std::move(source));
    EXPECT_EQ(nullptr, source.get());
    EXPECT_EQ(raw, moved.get());
    target = std::move(moved);  // target's first object is deleted, the second moves in
    EXPECT_EQ(nullptr, moved.get());
    EXPECT_EQ(raw, target.get());
  }  // the moved-from owners end here and must delete nothing
  EXPECT_TRUE(collected(env, first));
  EXPECT_FALSE(collected(env, second)) << "target holds it";
  LocalRef<>& alias = target;
  target = std::move(alias);  // self-assignment keeps it
  EXPECT_FALSE(collected(env, second));
  target.reset();
  EXPECT_EQ(nullptr, target.get());
  EXPECT_TRUE(collected(env, second));
}

TEST_F(JRefTest, LocalRefReleaseHandsTheReferenceOver) {
  jobject raw;
  jweak w;
  {
    LocalRef<> r(env, new_object(env));
    w = weak(r.get());
    raw = r.release();
    EXPECT_FALSE(r);
  }
  EXPECT_FALSE(collected(env, w));
  env->DeleteLocalRef(raw);
  EXPECT_TRUE(collected(env, w));
}

// Makes a Java object held locally and one held globally, then returns early when
// asked, as error paths do.  Whatever path it takes, both references must go.
bool hold_two_then_return(JNIEnv* env, bool fail, jweak* local, jweak* global) {
  LocalRef<> a(env, new_object(env));
  *local = watch(env, a.get());
  LocalRef<> b(env, new_object(env));
  GlobalRef<> g = GlobalRef<>::make(env, b.get());
  *global = watch(env, g.get());
  b.reset();
  if (fail) return false;
  env->MonitorEnter(a.get());  // some work with both
  env->MonitorExit(a.get());
  return true;
}

TEST_F(JRefTest, EarlyReturnsDeleteLocalAndGlobalRefs) {
  for (bool fail : {true, false}) {
    jweak local, global;
    EXPECT_EQ(!fail, hold_two_then_return(env, fail, &local, &global));
    weaks.push_back(local);
    weaks.push_back(global);
    EXPECT_TRUE(collected(env, local)) << fail;
    EXPECT_TRUE(collected(env, global)) << fail;
  }
}

TEST_F(JRefTest, GlobalRefOwnsOneGlobalReference) {
  jweak w;
  {
    LocalRef<> obj(env, new_object(env));
    w = weak(obj.get());
    GlobalRef<> g = GlobalRef<>::make(env, obj.get());
    ASSERT_TRUE(g);
    EXPECT_EQ(JNIGlobalRefType, env->GetObjectRefType(g.get()));
    obj.reset();
    EXPECT_FALSE(collected(env, w)) << "held by the GlobalRef alone";
  }
  EXPECT_TRUE(collected(env, w));
  EXPECT_FALSE(GlobalRef<>::make(env, nullptr)) << "null stays null";
}

TEST_F(JRefTest, GlobalRefMoveReleaseAndReset) {
  LocalRef<> a(env, new_object(env));
  LocalRef<> b(env, new_object(env));
  jweak wa = weak(a.get());
  jweak wb = weak(b.get());
  GlobalRef<> ga = GlobalRef<>::make(env, a.get());
  GlobalRef<> gb = GlobalRef<>::make(env, b.get());
  a.reset();
  b.reset();

  GlobalRef<> moved(std::move(ga));
  EXPECT_FALSE(ga);
  gb = std::move(moved);  // b's global reference is deleted; a's moves in
  EXPECT_FALSE(moved);
  EXPECT_TRUE(collected(env, wb));
  EXPECT_FALSE(collected(env, wa));

  jobject raw = gb.release();
  EXPECT_FALSE(gb);
  EXPECT_FALSE(collected(env, wa)) << "the released reference still holds it";
  EXPECT_EQ(JNIGlobalRefType, env->GetObjectRefType(raw));
  GlobalRef<> again = GlobalRef<>::make(env, raw);  // a second, independent reference
  env->DeleteGlobalRef(raw);
  EXPECT_FALSE(collected(env, wa));
  again.reset(env);
  EXPECT_FALSE(again);
  EXPECT_TRUE(collected(env, wa));
  again.reset();  // empty: nothing to delete
}

TEST_F(JRefTest, GlobalRefResetFindsTheThreadsEnvironment) {
  LocalRef<> obj(env, new_object(env));
  jweak w = weak(obj.get());
  GlobalRef<> g = GlobalRef<>::make(env, obj.get());
  obj.reset();
  g.reset();  // no environment given: the library's own look-up
  EXPECT_TRUE(collected(env, w));
}

TEST_F(JRefTest, LocalFrameFreesWhatWasMadeInside) {
  LocalRef<> outside(env, new_object(env));
  jweak w_outside = weak(outside.get());
  jweak w_inside;
  {
    LocalFrame frame(env, 8);
    ASSERT_TRUE(frame.ok());
    jobject inside = new_object(env);  // never deleted by hand
    w_inside = weak(inside);
  }
  EXPECT_TRUE(collected(env, w_inside));
  EXPECT_FALSE(collected(env, w_outside)) << "the enclosing frame is untouched";
  EXPECT_EQ(JNILocalRefType, env->GetObjectRefType(outside.get()));
}

TEST_F(JRefTest, LocalFramesNest) {
  jweak w_outer, w_inner;
  {
    LocalFrame outer(env, 4);
    w_outer = weak(new_object(env));
    {
      LocalFrame inner(env, 4);
      w_inner = weak(new_object(env));
    }
    EXPECT_TRUE(collected(env, w_inner));
    EXPECT_FALSE(collected(env, w_outer));
  }
  EXPECT_TRUE(collected(env, w_outer));
}

TEST_F(JRefTest, KeepCarriesOneReferenceOutAndPopsOnce) {
  jobject before = new_object(env);  // in the test's frame, which must survive
  jweak w_before = weak(before);
  jweak w_dropped, w_kept;
  jobject kept;
  {
    LocalFrame frame(env, 4);
    jobject dropped = new_object(env);
    jobject carried = new_object(env);
    w_dropped = weak(dropped);
    w_kept = weak(carried);
    kept = frame.keep(carried);
    EXPECT_EQ(nullptr, frame.keep<jobject>(nullptr)) << "a second keep has no frame to pop";
  }  // popped by keep(); the destructor pops nothing more
  EXPECT_TRUE(collected(env, w_dropped));
  EXPECT_FALSE(collected(env, w_kept));
  EXPECT_EQ(JNILocalRefType, env->GetObjectRefType(kept));
  EXPECT_FALSE(collected(env, w_before)) << "an extra pop would have freed the test's frame";
  EXPECT_EQ(JNILocalRefType, env->GetObjectRefType(before));
  env->DeleteLocalRef(kept);
  EXPECT_TRUE(collected(env, w_kept));
}

// Returns from inside a frame, early when asked, as error paths do.
bool frame_then_return(JNIEnv* env, bool fail, jweak* made) {
  LocalFrame frame(env, 4);
  if (!frame.ok()) return false;
  jobject obj = new_object(env);
  *made = watch(env, obj);
  if (fail) return false;
  env->MonitorEnter(obj);
  env->MonitorExit(obj);
  return true;
}

TEST_F(JRefTest, EveryReturnPopsTheFrame) {
  jobject before = new_object(env);
  jweak w_before = weak(before);
  for (bool fail : {true, false}) {
    jweak made;
    EXPECT_EQ(!fail, frame_then_return(env, fail, &made));
    weaks.push_back(made);
    EXPECT_TRUE(collected(env, made)) << fail;
  }
  EXPECT_FALSE(collected(env, w_before)) << "only the function's own frame is popped";
}

TEST_F(JRefTest, FrameOnlyIfNeeded) {
  jobject before = new_object(env);
  jweak w_before = weak(before);
  jweak w_pushed, w_skipped;
  jobject survivor;
  {
    LocalFrame frame(env, 4, true);
    ASSERT_TRUE(frame.ok());
    w_pushed = weak(new_object(env));
  }
  EXPECT_TRUE(collected(env, w_pushed)) << "a needed frame is pushed and popped";
  {
    LocalFrame frame(env, 4, false);
    EXPECT_TRUE(frame.ok()) << "nothing to push is no failure";
    survivor = new_object(env);  // lands in the enclosing frame
    w_skipped = weak(survivor);
    EXPECT_EQ(survivor, frame.keep(survivor)) << "keep() without a frame hands the reference back";
  }
  EXPECT_FALSE(collected(env, w_skipped)) << "no frame was pushed, so none was popped";
  EXPECT_FALSE(collected(env, w_before));
  env->DeleteLocalRef(survivor);
  EXPECT_TRUE(collected(env, w_skipped));
}

TEST_F(JRefTest, JavaStringBorrowsModifiedUtf8) {
  LocalRef<jstring> s(env, env->NewStringUTF("java/lang/Object"));
  {
    kiv::JavaString name(env, s.get());
    EXPECT_FALSE(name.failed());
    EXPECT_STREQ("java/lang/Object", name.c_str());
  }
  kiv::JavaString none(env, nullptr);
  EXPECT_EQ(nullptr, none.c_str());
  EXPECT_FALSE(none.failed());
}

}  // namespace
