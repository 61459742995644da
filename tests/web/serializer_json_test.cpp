// Object mapping: keys, markers, value forms, nested objects and lists, and every
// failure of reading a body.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>

#include "web/serializer_json.h"

namespace ostrivan::json {
namespace {

using web::EMVCDeserializationException;
using web::EMVCException;
using web::EMVCSerializationException;
using web::IMVCTypeSerializer;
using web::TMVCJsonSerializer;
using web::TMVCSerializationType;

enum class TColor { clRed, clGreen, clBlue };
const TMVCEnumInfo& ColorInfo() {
  static const TMVCEnumInfo info{"TColor", {"clRed", "clGreen", "clBlue"}};
  return info;
}

class TInner : public TObject {
 public:
  std::string FName;
  std::int32_t FSize = 0;
  static const TMVCClassInfo& StaticClassInfo() {
    static const TMVCClassInfo info = TMVCClassInfo::Make<TInner>(
        "TInner", nullptr, {MVCProperty("Name", &TInner::FName), MVCProperty("Size", &TInner::FSize)});
    return info;
  }
  const TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

class TAllKinds : public TObject {
 public:
  std::string FS = "s0";
  bool FB = false;
  std::int32_t FI = 0;
  std::int64_t FL = 0;
  double FD = 0;
  TColor FE = TColor::clRed;
  std::unique_ptr<TInner> FChild = std::make_unique<TInner>();
  std::unique_ptr<TInner> FNoChild;
  TMVCObjectList<TInner> FList;
  std::string FHidden = "h";
  std::string FRenamed = "r";
  std::int32_t FRefCount = 1;
  std::string FFixed = "f";
  std::string FReadOnly = "ro";

  static const TMVCClassInfo& StaticClassInfo() {
    using T = TAllKinds;
    static const TMVCClassInfo info = TMVCClassInfo::Make<T>(
        "TAllKinds", nullptr,
        {MVCProperty("S", &T::FS), MVCProperty("B", &T::FB), MVCProperty("I", &T::FI), MVCProperty("L", &T::FL),
         MVCProperty("D", &T::FD), MVCEnumProperty("E", &T::FE, ColorInfo()), MVCProperty("Child", &T::FChild),
         MVCProperty("NoChild", &T::FNoChild), ListProperty(), MVCProperty("Hidden", &T::FHidden).DoNotSerialize(),
         MVCProperty("Renamed", &T::FRenamed).NameAs("Custom"), MVCProperty("RefCount", &T::FRefCount),
         MVCProperty("Fixed", &T::FFixed).NameAs("FiXed", true), MVCProperty("ReadOnly", &T::FReadOnly).ReadOnly()});
    return info;
  }
  const TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }

 private:
  static TMVCPropertyInfo ListProperty() {
    TMVCPropertyInfo p;
    p.name = "List";
    p.type.kind = TMVCValueKind::vkObject;
    p.type.name = "TMVCObjectList<TInner>";
    p.type.type = typeid(TMVCObjectList<TInner>);
    p.getter = [](const TObject& o) -> TMVCValue {
      return static_cast<TObject*>(const_cast<TMVCObjectList<TInner>*>(&static_cast<const TAllKinds&>(o).FList));
    };
    return p;
  }
};

// Same members, keys upper-cased by the class marker.
class TUpper : public TAllKinds {
 public:
  static const TMVCClassInfo& StaticClassInfo() {
    static const TMVCClassInfo info =
        TMVCClassInfo::Make<TUpper>("TUpper", &TAllKinds::StaticClassInfo(), {}, TMVCNameCase::ncUpperCase);
    return info;
  }
  const TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

// The engine's error object: own properties first, then the inherited ones, lower case.
class TTestItem : public TObject {
 public:
  std::string Fmessage;
  static const TMVCClassInfo& StaticClassInfo() {
    static const TMVCClassInfo info = TMVCClassInfo::Make<TTestItem>(
        "TTestItem", nullptr, {MVCProperty("message", &TTestItem::Fmessage)}, TMVCNameCase::ncLowerCase);
    return info;
  }
  const TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

class TTestResponse : public TObject {
 public:
  std::int32_t FStatusCode = 0;
  std::string FReasonString;
  std::string FMessage;
  TObject* FData = nullptr;
  static const TMVCClassInfo& StaticClassInfo() {
    using T = TTestResponse;
    static const TMVCClassInfo info = TMVCClassInfo::Make<T>(
        "TTestResponse", nullptr,
        {MVCProperty("StatusCode", &T::FStatusCode), MVCProperty("ReasonString", &T::FReasonString),
         MVCProperty("Message", &T::FMessage), MVCProperty("Data", &T::FData)},
        TMVCNameCase::ncLowerCase);
    return info;
  }
  const TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

class TTestErrorResponse : public TTestResponse {
 public:
  std::string FClassname;
  std::string FDetailedMessage;
  std::int32_t FAppErrorCode = 0;
  std::unique_ptr<TMVCObjectList<TTestItem>> FItems = std::make_unique<TMVCObjectList<TTestItem>>();
  static const TMVCClassInfo& StaticClassInfo() {
    using T = TTestErrorResponse;
    static const TMVCClassInfo info = TMVCClassInfo::Make<T>(
        "TTestErrorResponse", &TTestResponse::StaticClassInfo(),
        {MVCProperty("Classname", &T::FClassname), MVCProperty("DetailedMessage", &T::FDetailedMessage),
         MVCProperty("AppErrorCode", &T::FAppErrorCode),
         MVCProperty("Items", &T::FItems).ListOf(TTestItem::StaticClassInfo())},
        TMVCNameCase::ncLowerCase);
    return info;
  }
  const TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

// "" when reading succeeded, else "<class> <status>: <message>".
std::string ReadOutcome(TMVCJsonSerializer& serializer, std::string_view body, TObject& target) {
  try {
    serializer.DeserializeObject(body, &target);
  } catch (const EMVCException& e) {
    return std::string(e.ClassName()) + " " + std::to_string(e.HttpErrorCode()) + ": " + e.Message();
  }
  return "";
}

TEST(MVCSerializerWrite, AllValueKindsAndMarkers) {
  TMVCJsonSerializer serializer;
  TAllKinds obj;
  obj.FS = "a\"b";
  obj.FB = true;
  obj.FI = -5;
  obj.FL = 1234567890123LL;
  obj.FD = 2.5;
  obj.FE = TColor::clBlue;
  obj.FChild->FName = "kid";
  auto item = std::make_unique<TInner>();
  item->FSize = 3;
  obj.FList.Add(std::move(item));
  obj.FList.Add(std::unique_ptr<TInner>());
  EXPECT_EQ(serializer.SerializeObject(&obj),
            R"({"S":"a\"b","B":true,"I":-5,"L":1234567890123,"D":2.5,"E":"clBlue",)"
            R"("Child":{"Name":"kid","Size":0},"NoChild":null,"List":[{"Name":"","Size":3},null],)"
            R"("Custom":"r","FiXed":"f","ReadOnly":"ro"})");
}

TEST(MVCSerializerWrite, IgnoredNamesUseDeclaredNamesExactly) {
  TMVCJsonSerializer serializer;
  TAllKinds obj;
  const std::string text =
      serializer.SerializeObject(&obj, TMVCSerializationType::stDefault, {"S", "Renamed", "child", "Custom", "List"});
  EXPECT_EQ(text.find("\"S\""), std::string::npos);
  EXPECT_EQ(text.find("\"Custom\""), std::string::npos);  // declared name Renamed matched
  EXPECT_NE(text.find("\"Child\""), std::string::npos);   // "child" differs in case
  EXPECT_NE(text.find("\"FiXed\""), std::string::npos);   // the key is not a declared name
  EXPECT_EQ(text.find("\"List\""), std::string::npos);
}

TEST(MVCSerializerWrite, KeyCaseComesFromTheObjectsOwnClass) {
  TMVCJsonSerializer serializer;
  TUpper obj;
  // Inherited members take the derived class's upper case; a fixed NameAs does not.
  EXPECT_EQ(serializer.SerializeObject(&obj),
            R"({"S":"s0","B":false,"I":0,"L":0,"D":0,"E":"clRed","CHILD":{"Name":"","Size":0},)"
            R"("NOCHILD":null,"LIST":[],"CUSTOM":"r","FiXed":"f","READONLY":"ro"})");
}

TEST(MVCSerializerWrite, ErrorObjectInPropertiesMode) {
  TMVCJsonSerializer serializer;
  TTestErrorResponse error;
  error.FClassname = "EMVCException";
  error.FStatusCode = 400;
  error.FReasonString = "error";
  error.FMessage = "Invalid body";
  EXPECT_EQ(serializer.SerializeObject(&error, TMVCSerializationType::stProperties),
            R"({"classname":"EMVCException","detailedmessage":"","apperrorcode":0,"items":[],)"
            R"("statuscode":400,"reasonstring":"error","message":"Invalid body","data":null})");
  auto item = std::make_unique<TTestItem>();
  item->Fmessage = "first";
  error.FItems->Add(std::move(item));
  EXPECT_NE(
      serializer.SerializeObject(&error, TMVCSerializationType::stProperties).find(R"("items":[{"message":"first"}])"),
      std::string::npos);
}

TEST(MVCSerializerWrite, RootForms) {
  TMVCJsonSerializer serializer;
  EXPECT_EQ(serializer.SerializeObject(nullptr), "null");
  auto doc = TJsonBaseObject::Parse(R"({"a":[1,{"b":null}]})");
  EXPECT_EQ(serializer.SerializeObject(doc.get()), R"({"a":[1,{"b":null}]})");
  TObject plain;
  EXPECT_EQ(serializer.SerializeObject(&plain), "{}");
  TMVCObjectList<TInner> list;
  list.Add(std::make_unique<TInner>());
  EXPECT_EQ(serializer.SerializeObject(&list), R"([{"Name":"","Size":0}])");
}

TEST(MVCObjectList, OwnsWhatItTakesAndRefusesOtherClasses) {
  struct TCounted : TInner {
    explicit TCounted(int& alive) : alive_(alive) { ++alive_; }
    ~TCounted() override { --alive_; }
    int& alive_;
  };
  int alive = 0;
  TMVCObjectList<TInner> list;
  list.Add(std::make_unique<TCounted>(alive));
  list.Add(nullptr);
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_EQ(alive, 1);
  EXPECT_EQ(list.GetItem(1), nullptr);
  EXPECT_THROW(list.Add(std::make_unique<TObject>()), std::bad_cast);
  EXPECT_EQ(list.Count(), 2u);
  list.Clear();
  EXPECT_EQ(alive, 0);
}

TEST(MVCSerializerWrite, JsonNodeMemberIsCopied) {
  TMVCJsonSerializer serializer;
  TTestResponse response;
  auto data = TJsonBaseObject::Parse(R"({"k":[true]})");
  response.FData = data.get();
  EXPECT_EQ(serializer.SerializeObject(&response),
            R"({"statuscode":0,"reasonstring":"","message":"","data":{"k":[true]}})");
}

TEST(MVCSerializerWrite, SerializationActionAddsLinks) {
  TMVCJsonSerializer serializer;
  TInner obj;
  EXPECT_EQ(serializer.SerializeObject(&obj, TMVCSerializationType::stDefault, {},
                                       [](const TObject&, TJsonArray& links) { links.AddString("self"); }),
            R"({"Name":"","Size":0,"links":["self"]})");
}

// Reading one member from a body: what it stores, or how it fails.
TEST(MVCSerializerRead, ValueTable) {
  struct Case {
    std::string body;
    std::string outcome;  // "" for success
    std::function<std::string(const TAllKinds&)> observe;
    std::string observed;
  };
  auto S = [](const TAllKinds& o) { return o.FS; };
  auto B = [](const TAllKinds& o) { return std::string(o.FB ? "true" : "false"); };
  auto I = [](const TAllKinds& o) { return std::to_string(o.FI); };
  auto L = [](const TAllKinds& o) { return std::to_string(o.FL); };
  auto D = [](const TAllKinds& o) { return std::to_string(o.FD); };
  auto E = [](const TAllKinds& o) { return std::to_string(static_cast<int>(o.FE)); };
  auto Child = [](const TAllKinds& o) { return o.FChild->FName + "/" + std::to_string(o.FChild->FSize); };
  auto List = [](const TAllKinds& o) {
    std::string s;
    for (std::size_t i = 0; i < o.FList.Count(); ++i) s += o.FList[i]->FName + ";";
    return s;
  };
  const std::string typecast = "EMVCException 400: Invalid class typecast for property ";
  const Case cases[] = {
      {R"({"S":"x"})", "", S, "x"},
      {R"({"S":{ "a" : 1 }})", "", S, R"({"a":1})"},
      {R"({"S":null})", "", S, "s0"},
      {R"({"s":"x"})", "", S, "s0"},
      {R"({"S":"first","S":"second"})", "", S, "first"},
      {R"({"S":12})", typecast + R"("S" [Expected: string, Actual: Int])", S, "s0"},
      {R"({"S":true})", typecast + R"("S" [Expected: string, Actual: Bool])", S, "s0"},
      {R"({"S":1.5})", typecast + R"("S" [Expected: string, Actual: Float])", S, "s0"},
      {R"({"S":1234567890})", typecast + R"("S" [Expected: string, Actual: Long])", S, "s0"},
      {R"({"S":18446744073709551615})", typecast + R"("S" [Expected: string, Actual: ULong])", S, "s0"},
      {R"({"S":[]})", typecast + R"("S" [Expected: string, Actual: Array])", S, "s0"},
      {R"({"B":true})", "", B, "true"},
      {R"({"B":"TRUE"})", "", B, "true"},
      {R"({"B":7})", "", B, "true"},
      {R"({"B":"yes"})", R"(EMVCSerializationException 500: Cannot deserialize "property B" from mapped values)", B,
       "false"},
      {R"({"B":1.0})", typecast + R"("B" [Expected: Boolean, Actual: Float])", B, "false"},
      {R"({"I":-12})", "", I, "-12"},
      {R"({"I":"42"})", "", I, "42"},
      {R"({"I":"4x"})", typecast + R"("I" [Expected: Integer, Actual: String])", I, "0"},
      {R"({"I":4294967297})", "", I, "1"},
      {R"({"I":2.0})", typecast + R"("I" [Expected: Integer, Actual: Float])", I, "0"},
      {R"({"I":false})", typecast + R"("I" [Expected: Integer, Actual: Bool])", I, "0"},
      {R"({"I":{}})", "", I, "0"},
      {R"({"L":7})", "", L, "7"},
      {R"({"L":"-9000000000"})", "", L, "-9000000000"},
      {R"({"D":3})", "", D, "3.000000"},
      {R"({"D":1234567890})", "", D, "1234567890.000000"},
      {R"({"D":"1.5"})", typecast + R"("D" [Expected: Double, Actual: String])", D, "0.000000"},
      {R"({"E":"CLGREEN"})", "", E, "1"},
      {R"({"E":2})", "", E, "2"},
      {R"({"E":3})", R"(EMVCSerializationException 500: Cannot deserialize "property E" from mapped values)", E, "0"},
      {R"({"E":-1})", R"(EMVCSerializationException 500: Cannot deserialize "property E" from mapped values)", E, "0"},
      {R"({"E":true})", typecast + R"("E" [Expected: TColor, Actual: Bool])", E, "0"},
      {R"({"Child":{"Name":"n","Size":2,"x":[]}})", "", Child, "n/2"},
      {R"({"Child":null})", "", Child, "/0"},
      {R"({"Child":"text"})", "", Child, "/0"},
      {R"({"NoChild":{"Name":"n"}})", "", Child, "/0"},
      {R"({"Child":{"Size":"big"}})", typecast + R"("Size" [Expected: Integer, Actual: String])", Child, "/0"},
      {R"({"List":[{"Name":"a"},{"Name":"b"}]})", "", List, "a;b;"},
      {R"({"List":[{"Name":"a"},5]})", typecast + R"("List" [Expected: TInner, Actual: Int])", List, "a;"},
      {R"({"List":{}})", "", List, ""},
      {R"({"Child":[{"Name":"a"}]})", typecast + R"("Child" [Expected: TInner, Actual: Array])", Child, "/0"},
      {R"({"Hidden":"read anyway"})", "", [](const TAllKinds& o) { return o.FHidden; }, "read anyway"},
      {R"({"Custom":"c","Renamed":"r2"})", "", [](const TAllKinds& o) { return o.FRenamed; }, "c"},
      {R"({"ReadOnly":"w"})", "", [](const TAllKinds& o) { return o.FReadOnly; }, "ro"},
      {R"({"unknown":[1,{"a":[]}],"x":null})", "", S, "s0"},
      {"{}", "", S, "s0"},
  };
  for (const auto& c : cases) {
    TMVCJsonSerializer serializer;
    TAllKinds obj;
    EXPECT_EQ(ReadOutcome(serializer, c.body, obj), c.outcome) << c.body;
    EXPECT_EQ(c.observe(obj), c.observed) << c.body;
  }
}

TEST(MVCSerializerRead, ListsAppendWithoutClearing) {
  TMVCJsonSerializer serializer;
  TTestErrorResponse error;
  error.FItems->Add(std::make_unique<TTestItem>());
  ASSERT_EQ(ReadOutcome(serializer, R"({"items":[{"message":"m1"},{"message":"m2"}]})", error), "");
  ASSERT_EQ(error.FItems->Count(), 3u);
  EXPECT_EQ((*error.FItems)[2]->Fmessage, "m2");
}

TEST(MVCSerializerRead, ListWithoutElementClassFails) {
  class TUntyped : public TObject {
   public:
    std::unique_ptr<TMVCObjectList<TObject>> FList = std::make_unique<TMVCObjectList<TObject>>();
    static const TMVCClassInfo& StaticClassInfo() {
      static const TMVCClassInfo info =
          TMVCClassInfo::Make<TUntyped>("TUntyped", nullptr, {MVCProperty("List", &TUntyped::FList)});
      return info;
    }
    const TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
  };
  TMVCJsonSerializer serializer;
  TUntyped obj;
  EXPECT_EQ(
      ReadOutcome(serializer, R"({"List":[{}]})", obj),
      R"(EMVCDeserializationException 500: You can not deserialize a list "List" without the MVCListOf attribute.)");
  // Refused even when there is no element to create.
  EXPECT_NE(ReadOutcome(serializer, R"({"List":[]})", obj), "");
  EXPECT_EQ(ReadOutcome(serializer, R"({"List":null})", obj), "");
}

TEST(MVCSerializerRead, BodyFailures) {
  struct Case {
    std::string body;
    std::string outcome;
  };
  const Case cases[] = {
      {"", "EMVCException 400: Invalid body"},
      {"   \r\n\t", "EMVCException 400: Invalid body: no JSON value"},
      {"123", R"(EMVCException 400: Expected "{" but found value (1, 4))"},
      {"{", R"(EMVCException 400: Unexpected end of file where "}" was expected (1, 2))"},
      {"[]", "EMVCSerializationException 500: Invalid JSON. Expected TJsonObject got TJsonArray"},
      {std::string(5000, '['), "EMVCSerializationException 500: Invalid JSON. Expected TJsonObject got TJsonArray"},
  };
  for (const auto& c : cases) {
    TMVCJsonSerializer serializer;
    TAllKinds obj;
    const std::string outcome = ReadOutcome(serializer, c.body, obj);
    if (c.body.size() == 5000) {
      // Too deep: refused by the reader before the root's kind matters.
      EXPECT_EQ(outcome.rfind("EMVCException 400: Nesting deeper than 1000 levels", 0), 0u) << outcome;
    } else {
      EXPECT_EQ(outcome, c.outcome) << c.body;
    }
  }
}

TEST(MVCSerializerRead, NoObjectAndRootNode) {
  TMVCJsonSerializer serializer;
  EXPECT_NO_THROW(serializer.DeserializeObject(R"({"S":"x"})", nullptr));
  EXPECT_THROW(serializer.DeserializeObject("", nullptr), EMVCException);
  TAllKinds obj;
  serializer.DeserializeObject(R"({"S":"outer","inner":{"S":"in"}})", &obj, TMVCSerializationType::stDefault, {},
                               "inner");
  EXPECT_EQ(obj.FS, "in");
  serializer.DeserializeObject(R"({"S":"x"})", &obj, TMVCSerializationType::stDefault, {"S"});
  EXPECT_EQ(obj.FS, "in");  // ignored on reading too
}

// Reading a body moves its text into the object (the parsed document is dropped); a
// document a caller holds is only read, so it keeps its text for the next reader.
TEST(MVCSerializerRead, CallersDocumentKeepsItsTextAfterMapping) {
  TMVCJsonSerializer serializer;
  const std::string big(200000, 'Q');
  TAllKinds from_body;
  serializer.DeserializeObject(R"({"S":")" + big + R"(","Child":{"Name":"n"}})", &from_body);
  EXPECT_EQ(from_body.FS, big);
  EXPECT_EQ(from_body.FChild->FName, "n");

  std::unique_ptr<TJsonBaseObject> document = TJsonBaseObject::Parse(R"({"S":")" + big + R"(","Child":{"Name":"n"}})");
  const auto& held = dynamic_cast<const TJsonObject&>(*document);
  for (int reader = 0; reader < 2; ++reader) {
    TAllKinds obj;
    serializer.JsonObjectToObject(held, obj, TMVCSerializationType::stDefault, {});
    EXPECT_EQ(obj.FS, big) << reader;
    EXPECT_EQ(obj.FChild->FName, "n") << reader;
  }
  EXPECT_EQ(held.Values("S").StringValue(), big);
}

TEST(MVCSerializerRead, EarlierMembersKeepTheirValuesWhenALaterOneFails) {
  TMVCJsonSerializer serializer;
  TAllKinds obj;
  // Member order is S, B, I, L: S and B are stored before I fails; L is never reached.
  EXPECT_NE(ReadOutcome(serializer, R"({"L":5,"I":"bad","B":true,"S":"ok"})", obj), "");
  EXPECT_EQ(obj.FS, "ok");
  EXPECT_TRUE(obj.FB);
  EXPECT_EQ(obj.FI, 0);
  EXPECT_EQ(obj.FL, 0);
}

TEST(MVCSerializerRead, KeyCaseAppliesWhenReading) {
  TMVCJsonSerializer serializer;
  TUpper obj;
  ASSERT_EQ(ReadOutcome(serializer, R"({"S":"x","CUSTOM":"c","FiXed":"F2","READONLY":"no"})", obj), "");
  EXPECT_EQ(obj.FS, "x");  // one-letter key "S" upper-cases to itself
  EXPECT_EQ(obj.FRenamed, "c");
  EXPECT_EQ(obj.FFixed, "F2");
}

// A converter that writes and reads an Int32 member as a string of stars.
class TStarsConverter : public IMVCTypeSerializer {
 public:
  void SerializeAttribute(const TMVCValue& value, const std::string& key, TJsonObject& target) override {
    target.SetString(key, std::string(static_cast<std::size_t>(std::get<std::int32_t>(value)), '*'));
  }
  std::unique_ptr<TJsonBaseObject> SerializeRoot(const TObject&, TMVCSerializationType) override {
    auto root = std::make_unique<TJsonObject>();
    root->SetString("root", "converted");
    return root;
  }
  void DeserializeAttribute(TMVCValue& value, const std::string& key, const TJsonObject& source) override {
    value = static_cast<std::int32_t>(source.Values(key).StringValue().size());
  }
  void DeserializeRoot(const TJsonBaseObject& source, TObject& object, TMVCSerializationType) override {
    static_cast<TInner&>(object).FName = source.ToJSON();
  }
};

TEST(MVCSerializerConverters, ConsultedFirstForMembersAndRoots) {
  TMVCJsonSerializer serializer;
  auto stars = std::make_shared<TStarsConverter>();
  serializer.RegisterTypeSerializer(typeid(std::int32_t), "Integer", stars);
  TInner inner;
  inner.FSize = 3;
  EXPECT_EQ(serializer.SerializeObject(&inner), R"({"Name":"","Size":"***"})");
  serializer.DeserializeObject(R"({"Size":"*****"})", &inner);
  EXPECT_EQ(inner.FSize, 5);
  serializer.DeserializeObject(R"({"Name":"n"})", &inner);
  EXPECT_EQ(inner.FSize, 5);  // absent key: the converter is not asked

  serializer.RegisterTypeSerializer<TInner>(stars);
  EXPECT_EQ(serializer.SerializeObject(&inner), R"({"root":"converted"})");
  serializer.DeserializeObject(R"({"x":1})", &inner);
  EXPECT_EQ(inner.FName, R"({"x":1})");
}

}  // namespace
}  // namespace ostrivan::json
