#pragma once
// Mapped objects and the static tables that describe them to the object mapping.
//
// C++ has no run-time property lists, so every mapped class keeps a small table next to
// it: its name, its parent's table and its properties in declaration order (name, type,
// getter, setter, markers). Example:
//
//   class TItem : public TObject {
//    public:
//     std::string FName;
//     static const TMVCClassInfo& StaticClassInfo() {
//       static const TMVCClassInfo info = TMVCClassInfo::Make<TItem>(
//           "TItem", nullptr, {MVCProperty("Name", &TItem::FName)});
//       return info;
//     }
//     const TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
//   };
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

namespace ostrivan::json {

struct TMVCClassInfo;

// Root of every object the mapping reads or writes, JSON document nodes included.
class TObject {
 public:
  virtual ~TObject() = default;
  // The table of the object's exact class; nullptr for a class that maps no property.
  virtual const TMVCClassInfo* ClassInfo() const { return nullptr; }
};

enum class TMVCNameCase { ncAsIs, ncUpperCase, ncLowerCase, ncCamelCase, ncPascalCase, ncSnakeCase };

// An ordered collection the mapping writes as a JSON array and appends to when reading.
class IMVCList {
 public:
  virtual ~IMVCList() = default;
  virtual std::size_t Count() const = 0;
  virtual const TObject* GetItem(std::size_t index) const = 0;  // may be nullptr
  virtual void Add(std::unique_ptr<TObject> item) = 0;
  virtual void Clear() = 0;
  // The declared element class, or nullptr when the list does not know it.
  virtual const TMVCClassInfo* ElementClass() const = 0;
};

// Enumeration type: its declared name and its value names by ordinal.
struct TMVCEnumInfo {
  std::string name;
  std::vector<std::string> value_names;
};

// Boolean is the enumeration (False, True).
const TMVCEnumInfo& BooleanEnumInfo();

// An enumeration value with its type, so that only equal types are stored into each other.
struct TMVCEnumValue {
  const TMVCEnumInfo* type = nullptr;
  int ordinal = 0;
};

// A property value as the mapping sees it. monostate is "empty" (no value, no object).
using TMVCValue =
    std::variant<std::monostate, std::string, bool, TMVCEnumValue, std::int32_t, std::int64_t, double, TObject*>;

enum class TMVCValueKind { vkString, vkBoolean, vkEnumeration, vkInteger, vkInt64, vkFloat, vkObject };

struct TMVCTypeInfo {
  TMVCValueKind kind = TMVCValueKind::vkString;
  // Declared type name for messages: "string", "Boolean", "Integer", "Int64", "Double",
  // an enumeration's or a class's own name.
  std::string name;
  // For converter look-up of non-object values.
  std::type_index type = typeid(void);
  const TMVCEnumInfo* enum_info = nullptr;    // vkEnumeration
  const TMVCClassInfo* class_info = nullptr;  // vkObject, when the declared class is mapped
};

// MVCNameAsAttribute: the key is Name; unless Fixed, the class's key case still applies.
struct MVCNameAsAttribute {
  std::string name;
  bool fixed = false;
};

struct TMVCPropertyInfo {
  std::string name;
  TMVCTypeInfo type;
  std::function<TMVCValue(const TObject&)> getter;
  // Empty for a read-only property.
  std::function<void(TObject&, TMVCValue&&)> setter;
  // Markers.
  bool do_not_serialize = false;              // MVCDoNotSerializeAttribute
  std::optional<MVCNameAsAttribute> name_as;  // MVCNameAsAttribute
  const TMVCClassInfo* list_of = nullptr;     // MVCListOfAttribute

  TMVCPropertyInfo&& DoNotSerialize() && {
    do_not_serialize = true;
    return std::move(*this);
  }
  TMVCPropertyInfo&& NameAs(std::string key, bool fixed = false) && {
    name_as = MVCNameAsAttribute{std::move(key), fixed};
    return std::move(*this);
  }
  TMVCPropertyInfo&& ListOf(const TMVCClassInfo& element_class) && {
    list_of = &element_class;
    return std::move(*this);
  }
  TMVCPropertyInfo&& ReadOnly() && {
    setter = nullptr;
    return std::move(*this);
  }
};

struct TMVCClassInfo {
  std::string name;
  const TMVCClassInfo* parent = nullptr;
  std::vector<TMVCPropertyInfo> properties;  // own properties, declaration order
  std::optional<TMVCNameCase> name_case;     // MVCNameCaseAttribute
  std::type_index type = typeid(void);
  // Creates a new instance; used for list elements read from JSON.
  std::function<std::unique_ptr<TObject>()> create;

  template <class C>
  static TMVCClassInfo Make(std::string class_name, const TMVCClassInfo* parent_class,
                            std::vector<TMVCPropertyInfo> props, std::optional<TMVCNameCase> key_case = std::nullopt) {
    TMVCClassInfo info;
    info.name = std::move(class_name);
    info.parent = parent_class;
    info.properties = std::move(props);
    info.name_case = key_case;
    info.type = typeid(C);
    if constexpr (std::is_default_constructible_v<C> && !std::is_abstract_v<C>) {
      info.create = [] { return std::unique_ptr<TObject>(std::make_unique<C>()); };
    }
    return info;
  }
};

// A list of owned objects of class T (T derives from TObject).
template <class T>
class TMVCObjectList : public TObject, public IMVCList {
 public:
  std::size_t Count() const override { return items_.size(); }
  const TObject* GetItem(std::size_t index) const override { return items_.at(index).get(); }
  T* operator[](std::size_t index) const { return items_.at(index).get(); }
  void Add(std::unique_ptr<TObject> item) override {
    if (!item) {
      items_.emplace_back();
      return;
    }
    T* typed = dynamic_cast<T*>(item.get());
    if (!typed) throw std::bad_cast();
    // Room first: item lets go only once nothing can throw any more, so a failed
    // allocation frees the object instead of leaking it.
    items_.emplace_back();
    (void)item.release();
    items_.back().reset(typed);
  }
  void Clear() override { items_.clear(); }
  const TMVCClassInfo* ElementClass() const override {
    if constexpr (requires { T::StaticClassInfo(); }) {
      return &T::StaticClassInfo();
    } else {
      return nullptr;
    }
  }

 private:
  std::vector<std::unique_ptr<T>> items_;
};

namespace detail {
template <class T>
struct IsUniquePtr : std::false_type {};
template <class T>
struct IsUniquePtr<std::unique_ptr<T>> : std::true_type {};
// The class an object field points to: X for X* and for std::unique_ptr<X>.
template <class T>
struct Pointee {
  using type = std::remove_pointer_t<T>;
};
template <class T>
struct Pointee<std::unique_ptr<T>> {
  using type = T;
};
}  // namespace detail

// Property backed directly by a field of class C. Field types: std::string, bool,
// std::int32_t, std::int64_t, double, std::unique_ptr<X> and X* (X a TObject; object
// properties are filled in place, never replaced). Enumerations: MVCEnumProperty.
template <class C, class F>
TMVCPropertyInfo MVCProperty(std::string name, F C::*field) {
  TMVCPropertyInfo p;
  p.name = std::move(name);
  p.type.type = typeid(F);
  if constexpr (std::is_same_v<F, std::string>) {
    p.type.kind = TMVCValueKind::vkString;
    p.type.name = "string";
  } else if constexpr (std::is_same_v<F, bool>) {
    p.type.kind = TMVCValueKind::vkBoolean;
    p.type.name = "Boolean";
    p.type.enum_info = &BooleanEnumInfo();
  } else if constexpr (std::is_same_v<F, std::int32_t>) {
    p.type.kind = TMVCValueKind::vkInteger;
    p.type.name = "Integer";
  } else if constexpr (std::is_same_v<F, std::int64_t>) {
    p.type.kind = TMVCValueKind::vkInt64;
    p.type.name = "Int64";
  } else if constexpr (std::is_same_v<F, double>) {
    p.type.kind = TMVCValueKind::vkFloat;
    p.type.name = "Double";
  } else if constexpr (detail::IsUniquePtr<F>::value || std::is_pointer_v<F>) {
    using X = typename detail::Pointee<F>::type;
    static_assert(std::is_base_of_v<TObject, X>, "object properties hold TObject descendants");
    p.type.kind = TMVCValueKind::vkObject;
    p.type.type = typeid(X);
    if constexpr (requires { X::StaticClassInfo(); }) {
      p.type.class_info = &X::StaticClassInfo();
      p.type.name = X::StaticClassInfo().name;
    } else {
      p.type.name = "TObject";
    }
    p.getter = [field](const TObject& o) -> TMVCValue {
      const auto& self = static_cast<const C&>(o);
      if constexpr (std::is_pointer_v<F>) {
        return static_cast<TObject*>(self.*field);
      } else {
        return static_cast<TObject*>((self.*field).get());
      }
    };
    return p;  // read-only: objects are filled where they stand
  } else {
    static_assert(sizeof(F) == 0, "unsupported property type");
  }
  if constexpr (!detail::IsUniquePtr<F>::value && !std::is_pointer_v<F>) {
    p.getter = [field](const TObject& o) -> TMVCValue { return static_cast<const C&>(o).*field; };
    p.setter = [field](TObject& o, TMVCValue&& v) { static_cast<C&>(o).*field = std::get<F>(std::move(v)); };
  }
  return p;
}

// Property backed by a field of an enumeration type E with the given type description.
template <class C, class E>
TMVCPropertyInfo MVCEnumProperty(std::string name, E C::*field, const TMVCEnumInfo& info) {
  static_assert(std::is_enum_v<E>);
  TMVCPropertyInfo p;
  p.name = std::move(name);
  p.type.kind = TMVCValueKind::vkEnumeration;
  p.type.name = info.name;
  p.type.type = typeid(E);
  p.type.enum_info = &info;
  p.getter = [field, &info](const TObject& o) -> TMVCValue {
    return TMVCEnumValue{&info, static_cast<int>(static_cast<const C&>(o).*field)};
  };
  p.setter = [field](TObject& o, TMVCValue&& v) {
    static_cast<C&>(o).*field = static_cast<E>(std::get<TMVCEnumValue>(v).ordinal);
  };
  return p;
}

}  // namespace ostrivan::json
