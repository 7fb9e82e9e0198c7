// One counted reference to a host object (class object, instance, services,
// context), released when the holder goes away, so that every exit path,
// an exception's included, gives back what it took.

#ifndef QMX_COMMON_OBJECT_REF_H_
#define QMX_COMMON_OBJECT_REF_H_

namespace qmx {

template <typename T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* object) : object_(object) {}
  ~Ref() { Reset(); }

  Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Reset();
      object_ = other.object_;
      other.object_ = nullptr;
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // For out-pointers that hand over a reference; drops the one held.
  T** Out() {
    Reset();
    return &object_;
  }

  void Reset() {
    if (object_ != nullptr) object_->Release();
    object_ = nullptr;
  }

 private:
  T* object_ = nullptr;
};

}  // namespace qmx

#endif  // QMX_COMMON_OBJECT_REF_H_
