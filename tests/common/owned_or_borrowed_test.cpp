#include "common/owned_or_borrowed.h"

#include <gtest/gtest.h>

#include <memory>

namespace ostrivan {
namespace {

// Counts live instances, so a test sees exactly when the holder frees one.
struct Counted {
  static inline int alive = 0;
  Counted() { ++alive; }
  ~Counted() { --alive; }
};

class OwnedOrBorrowed : public ::testing::Test {
 protected:
  void SetUp() override { Counted::alive = 0; }
  void TearDown() override { EXPECT_EQ(Counted::alive, 0); }
};

TEST_F(OwnedOrBorrowed, OwnedIsFreedWithTheHolderBorrowedIsNot) {
  Counted borrowed;
  {
    TOwnedOrBorrowed<Counted> holder;
    EXPECT_EQ(holder.Get(), nullptr);
    EXPECT_FALSE(holder.Owned());
    holder.Own(std::make_unique<Counted>());
    EXPECT_TRUE(holder.Owned());
    EXPECT_EQ(Counted::alive, 2);
    holder.Borrow(&borrowed);  // the owned one goes now
    EXPECT_EQ(Counted::alive, 1);
    EXPECT_EQ(holder.Get(), &borrowed);
    EXPECT_FALSE(holder.Owned());
  }
  EXPECT_EQ(Counted::alive, 1);
}

TEST_F(OwnedOrBorrowed, OwningAgainReplacesAndTheSameObjectIsKept) {
  TOwnedOrBorrowed<Counted> holder;
  auto first = std::make_unique<Counted>();
  Counted* raw = first.get();
  EXPECT_TRUE(holder.Own(std::move(first)));
  // Handing over the object it owns already: no double ownership, no free.
  EXPECT_FALSE(holder.Own(std::unique_ptr<Counted>(raw)));
  EXPECT_EQ(holder.Get(), raw);
  EXPECT_EQ(Counted::alive, 1);
  EXPECT_TRUE(holder.Own(std::make_unique<Counted>()));
  EXPECT_NE(holder.Get(), raw);
  EXPECT_EQ(Counted::alive, 1);
  EXPECT_TRUE(holder.Own(nullptr));
  EXPECT_EQ(holder.Get(), nullptr);
  EXPECT_EQ(Counted::alive, 0);
}

TEST_F(OwnedOrBorrowed, BorrowingTheOwnedObjectKeepsItOwned) {
  TOwnedOrBorrowed<Counted> holder;
  holder.Own(std::make_unique<Counted>());
  Counted* raw = holder.Get();
  holder.Borrow(raw);
  EXPECT_TRUE(holder.Owned());
  EXPECT_EQ(Counted::alive, 1);
  holder.Borrow(nullptr);
  EXPECT_EQ(Counted::alive, 0);
}

TEST_F(OwnedOrBorrowed, TakingOwnershipLeavesItBorrowed) {
  TOwnedOrBorrowed<Counted> holder;
  holder.Own(std::make_unique<Counted>());
  Counted* raw = holder.Get();
  std::unique_ptr<Counted> taken = holder.TakeOwnership();
  EXPECT_EQ(taken.get(), raw);
  EXPECT_FALSE(holder.Owned());
  EXPECT_EQ(holder.Get(), raw);
  holder.Reset();  // borrowed: not freed by the holder
  EXPECT_EQ(holder.Get(), nullptr);
  EXPECT_EQ(Counted::alive, 1);
  EXPECT_EQ(holder.TakeOwnership(), nullptr);
}

}  // namespace
}  // namespace ostrivan
