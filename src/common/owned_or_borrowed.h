#pragma once
// A pointer to an object that the holder either owns (and frees with itself or when it
// is given another object) or only borrows (someone else frees it). Example:
//   TOwnedOrBorrowed<TStream> body;
//   body.Own(std::make_unique<TMemoryStream>());  // freed by body
//   body.Borrow(&request_stream);                 // the memory stream is freed now
#include <memory>

namespace ostrivan {

template <class T>
class TOwnedOrBorrowed {
 public:
  TOwnedOrBorrowed() = default;
  TOwnedOrBorrowed(const TOwnedOrBorrowed&) = delete;
  TOwnedOrBorrowed& operator=(const TOwnedOrBorrowed&) = delete;

  T* Get() const noexcept { return object_; }
  // True while the object held is one the holder frees.
  bool Owned() const noexcept { return owned_ != nullptr; }

  // Holds object and frees it later; the object held before is let go (freed when
  // owned). Handing over the object owned already changes nothing and returns false.
  bool Own(std::unique_ptr<T> object) {
    if (object && object.get() == owned_.get()) {
      (void)object.release();  // the same object: owned once, by owned_
      return false;
    }
    owned_ = std::move(object);
    object_ = owned_.get();
    return true;
  }

  // Refers to object without owning it; an owned object other than it is freed.
  // Borrowing the object owned already keeps it owned.
  void Borrow(T* object) {
    if (owned_.get() != object) owned_.reset();
    object_ = object;
  }

  // Hands the owned object (or nullptr) to the caller; the holder still refers to it,
  // now as borrowed.
  std::unique_ptr<T> TakeOwnership() noexcept { return std::move(owned_); }

  // Holds nothing; an owned object is freed.
  void Reset() noexcept {
    owned_.reset();
    object_ = nullptr;
  }

 private:
  std::unique_ptr<T> owned_;
  T* object_ = nullptr;
};

}  // namespace ostrivan
