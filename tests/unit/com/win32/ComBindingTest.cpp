// The mount service object as COM clients reach it, in process: its
// interfaces, late-bound calls through the registered type library, the
// connection point, events through IDispatch::Invoke, and the class object.
// The platform seam and its fakes come before the system's headers, whose
// macros (HKEY_LOCAL_MACHINE, interface) would rename their members.
#include "device/DriverRecords.h"
#include "fakes/FakeDevices.h"
#include "fakes/FakeTokens.h"
#include "support/CapturedLog.h"
#include "sys/ScopedFake.h"

namespace {

const std::u16string kDriverPath = u"\\\\?\\root#vkvd#0000#{aaa4747f-f023-430c-80c1-6dbda4ec699d}";

// A driver without a disk.
void addDriver(FakeDevices& devices) {
  devices.classes[driver_records::VIRTUAL_DISK_INTERFACE_GUID] = {FakeDevices::interface(kDriverPath)};
  devices.drivers[kDriverPath] = {};
}

}  // namespace

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/win32/ComClassFactory.h"
#include "com/win32/ComServerLocks.h"
#include "com/win32/TypeLibraryPlatform.h"
#include "com/win32/DispatchEventSink.h"
#include "vkbvd_mount_service.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr LCID kTypeLibLocale = 0x409;

// One Invoke a sink received: its call and its arguments, each as its type
// and its value as text.
struct Invocation {
  DISPID id;
  bool nullInterface;
  LCID locale;
  WORD flags;
  UINT namedArguments;
  std::vector<std::pair<VARTYPE, std::wstring>> arguments;
};

std::wstring textOf(const VARIANT& value) {
  switch (value.vt) {
    case VT_BSTR:
      return value.bstrVal ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal)) : L"<null>";
    case VT_R8:
      return std::to_wstring(value.dblVal);
    case VT_I4:
      return std::to_wstring(value.lVal);
    default:
      return L"";
  }
}

// A client's sink: answers IDispatch and, when it is one, the event
// interface; records each Invoke and answers it with `answer`.
class RecordingSink final : public IDispatch {
 public:
  explicit RecordingSink(bool answersEvents = true, HRESULT answer = S_OK)
      : answersEvents_(answersEvents), answer_(answer) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || (answersEvents_ && iid == DIID__IVirtualDiskEvents)) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* parameters, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    Invocation call{id, iid == IID_NULL, locale, flags, parameters->cNamedArgs, {}};
    for (UINT at = 0; at < parameters->cArgs; ++at) {
      call.arguments.emplace_back(parameters->rgvarg[at].vt, textOf(parameters->rgvarg[at]));
    }
    invocations.push_back(call);
    return answer_;
  }

  ULONG references = 1;  // the test's own; the sink lives on the test's stack
  std::vector<Invocation> invocations;

 private:
  bool answersEvents_;
  HRESULT answer_;
};

BSTR bstr(const wchar_t* text) { return SysAllocString(text); }

// A VARIANT holding a copy of `text`, cleared with the object.
struct StringArgument {
  explicit StringArgument(const wchar_t* text) {
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = bstr(text);
  }
  ~StringArgument() { VariantClear(&value); }
  VARIANT value;
};

class ComBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    // Late-bound calls need the type library registered: this program's own.
    wchar_t program[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLibEx(program, REGKIND_REGISTER, library.GetAddressOf()), S_OK);
    addDriver(fakes_);
    tokens_.openProcessError = 5;  // nobody's identity can be taken: a mount stops at its access check
    ASSERT_EQ(factory_.CreateInstance(nullptr, IID_IVirtualDisk, reinterpret_cast<void**>(disk_.GetAddressOf())),
              S_OK);
  }
  void TearDown() override {
    disk_.Reset();
    UnRegisterTypeLib(LIBID_vkbvd_mount_serviceLib, 1, 0, kTypeLibLocale, kTypeLibSysKind);
    CoUninitialize();
  }

  ComPtr<IConnectionPoint> connectionPoint() {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(disk_.As(&container), S_OK);
    EXPECT_EQ(container->FindConnectionPoint(DIID__IVirtualDiskEvents, point.GetAddressOf()), S_OK);
    return point;
  }
  void holdADisk() { FakeDevices::activate(fakes_.drivers.at(kDriverPath), u"first_tag", u"C:\\b.vkb", 1 << 20, 512); }

  FakeDevices fakes_;
  FakeTokens tokens_;
  sys::ScopedFake<sys::DeviceInterfaces> interfacesFake_{fakes_};
  sys::ScopedFake<sys::DeviceIo> ioFake_{fakes_};
  sys::ScopedFake<sys::Tokens> tokensFake_{tokens_};
  ComClassFactory factory_;
  ComPtr<IVirtualDisk> disk_;
};

}  // namespace

TEST_F(ComBindingTest, QueryInterfaceAnswersTheFourInterfacesAndRefusesEveryOther) {
  ComPtr<IUnknown> identity;
  ASSERT_EQ(disk_.As(&identity), S_OK);
  for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IVirtualDisk, &IID_IConnectionPointContainer}) {
    ComPtr<IUnknown> answer;
    EXPECT_EQ(disk_->QueryInterface(*iid, reinterpret_cast<void**>(answer.GetAddressOf())), S_OK);
    ComPtr<IUnknown> itsIdentity;
    ASSERT_EQ(answer.As(&itsIdentity), S_OK);
    EXPECT_EQ(itsIdentity.Get(), identity.Get()) << "one object whichever interface";
  }
  for (const IID* iid : {&IID_IConnectionPoint, &IID_IProvideClassInfo, &IID_ISupportErrorInfo, &IID_IMarshal,
                         &IID_IClassFactory, &DIID__IVirtualDiskEvents}) {
    void* answer = reinterpret_cast<void*>(1);
    EXPECT_EQ(disk_->QueryInterface(*iid, &answer), E_NOINTERFACE);
    EXPECT_EQ(answer, nullptr);
  }
  EXPECT_EQ(disk_->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

// GetIDsOfNames knows the methods and their parameters by their names; an
// Invoke of mount with its nine arguments in reverse order hands each
// argument to the same place as the vtable call: both log the same lines.
TEST_F(ComBindingTest, ALateBoundMountReachesTheSameMethodAsTheVtableCall) {
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(disk_.As(&dispatch), S_OK);
  const wchar_t* names[] = {L"mount", L"image_file_path", L"base_image_file_path", L"mount_tag",
                            L"using_image_encryption", L"image_master_password", L"debug_log_path", L"temp_file",
                            L"additional_opts", L"callback_context"};
  DISPID ids[10] = {};
  ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names), 10, LOCALE_USER_DEFAULT, ids), S_OK);
  EXPECT_EQ(ids[0], 1);
  for (int at = 1; at < 10; ++at) EXPECT_EQ(ids[at], at - 1) << "parameter " << at;
  for (const auto& [name, id] : {std::pair{L"umount", 2}, std::pair{L"enumMounted", 3}}) {
    DISPID found = 0;
    LPOLESTR asked = const_cast<LPOLESTR>(name);
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &asked, 1, LOCALE_USER_DEFAULT, &found), S_OK);
    EXPECT_EQ(found, id);
  }
  LPOLESTR unknown = const_cast<LPOLESTR>(L"format");
  DISPID none = 0;
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &unknown, 1, LOCALE_USER_DEFAULT, &none), DISP_E_UNKNOWNNAME);

  const wchar_t* values[] = {L"C:\\i.vkb", L"C:\\base.vkb", L"tag", L"secret", L"C:\\p.log", L"C:\\t.tmp", L"/network"};
  std::string early;
  {
    CapturedLog log;
    VARIANT context;
    VariantInit(&context);
    BSTR strings[7];
    for (int at = 0; at < 7; ++at) strings[at] = bstr(values[at]);
    EXPECT_EQ(disk_->mount(strings[0], strings[1], strings[2], VARIANT_TRUE, strings[3], strings[4], strings[5],
                           strings[6], context),
              -18);
    for (BSTR string : strings) SysFreeString(string);
    early = log.lines();
  }
  std::string late;
  {
    CapturedLog log;
    StringArgument image(values[0]), base(values[1]), tag(values[2]), password(values[3]), debugLog(values[4]),
        temp(values[5]), options(values[6]);
    VARIANT arguments[9];
    arguments[8] = image.value;
    arguments[7] = base.value;
    arguments[6] = tag.value;
    VariantInit(&arguments[5]);
    arguments[5].vt = VT_BOOL;
    arguments[5].boolVal = VARIANT_TRUE;
    arguments[4] = password.value;
    arguments[3] = debugLog.value;
    arguments[2] = temp.value;
    arguments[1] = options.value;
    VariantInit(&arguments[0]);  // callback_context
    DISPPARAMS parameters{arguments, nullptr, 9, 0};
    EXCEPINFO exception{};
    VARIANT result;
    VariantInit(&result);
    const HRESULT invoked =
        dispatch->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &result, &exception, nullptr);
    // A failure the method returns comes back as an exception carrying it.
    EXPECT_EQ(invoked, DISP_E_EXCEPTION);
    EXPECT_EQ(exception.scode, -18);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    late = log.lines();
  }
  EXPECT_NE(early.find("getPassword=********"), std::string::npos) << early;
  EXPECT_NE(early.find("C:\\base.vkb"), std::string::npos) << early;
  EXPECT_NE(early.find("C:\\t.tmp"), std::string::npos) << early;
  EXPECT_EQ(late, early);
}

// enumMounted's one parameter is out only: a late-bound client passes a
// VARIANT by reference, which gets the count whatever it held before.
TEST_F(ComBindingTest, ALateBoundEnumMountedFillsAVariantPassedByReference) {
  holdADisk();
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(disk_.As(&dispatch), S_OK);
  StringArgument old(L"the caller's old value");
  VARIANT byReference;
  VariantInit(&byReference);
  byReference.vt = VT_BYREF | VT_VARIANT;
  byReference.pvarVal = &old.value;
  DISPPARAMS parameters{&byReference, nullptr, 1, 0};
  EXPECT_EQ(dispatch->Invoke(3, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(old.value.vt, VT_UI4);
  EXPECT_EQ(old.value.ulVal, 1u);

  EXPECT_EQ(dispatch->Invoke(3, IID_IVirtualDisk, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr, nullptr,
                             nullptr),
            DISP_E_UNKNOWNINTERFACE);
  // Early-bound, without an out argument: still 0.
  EXPECT_EQ(disk_->enumMounted(nullptr), S_OK);
}

TEST_F(ComBindingTest, TheContainerOffersOneConnectionPointForTheEvents) {
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(disk_.As(&container), S_OK);
  ComPtr<IConnectionPoint> point = connectionPoint();
  ComPtr<IConnectionPoint> other;
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, other.GetAddressOf()), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(other.Get(), nullptr);

  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(points.GetAddressOf()), S_OK);
  IConnectionPoint* listed[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(points->Next(2, listed, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(listed[0], point.Get());
  listed[0]->Release();

  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, DIID__IVirtualDiskEvents);
  EXPECT_EQ(point->GetConnectionInterface(nullptr), E_POINTER);
  ComPtr<IConnectionPointContainer> back;
  ASSERT_EQ(point->GetConnectionPointContainer(back.GetAddressOf()), S_OK);
  EXPECT_EQ(back.Get(), container.Get());
}

// Cookies are slots plus one, reused after an Unadvise; the slots grow past
// four; the errors are those of a connection point.
TEST_F(ComBindingTest, AdviseAndUnadviseGiveAndTakeCookies) {
  ComPtr<IConnectionPoint> point = connectionPoint();
  RecordingSink sinks[5];
  DWORD cookie = 99;
  for (DWORD expected = 1; expected <= 5; ++expected) {
    EXPECT_EQ(point->Advise(&sinks[expected - 1], &cookie), S_OK);
    EXPECT_EQ(cookie, expected);
  }
  EXPECT_EQ(sinks[0].references, 2u) << "the point holds one reference";

  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(connections.GetAddressOf()), S_OK);
  CONNECTDATA listed[6] = {};
  ULONG fetched = 0;
  EXPECT_EQ(connections->Next(6, listed, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 5u);
  for (ULONG at = 0; at < fetched; ++at) {
    EXPECT_EQ(listed[at].dwCookie, at + 1);
    EXPECT_EQ(listed[at].pUnk, static_cast<IUnknown*>(&sinks[at]));
    listed[at].pUnk->Release();
  }
  connections.Reset();

  EXPECT_EQ(point->Unadvise(2), S_OK);
  EXPECT_EQ(sinks[1].references, 1u) << "released";
  RecordingSink again;
  EXPECT_EQ(point->Advise(&again, &cookie), S_OK);
  EXPECT_EQ(cookie, 2u);
  ASSERT_EQ(point->Unadvise(2), S_OK);
  for (DWORD wrong : {0ul, 9ul, 2ul}) EXPECT_EQ(point->Unadvise(wrong), CONNECT_E_NOCONNECTION) << wrong;

  RecordingSink notAnEventSink(false);
  cookie = 99;
  EXPECT_EQ(point->Advise(&notAnEventSink, &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);
  EXPECT_EQ(point->Advise(&again, nullptr), E_POINTER);
  EXPECT_EQ(point->EnumConnections(nullptr), E_POINTER);

  point.Reset();
  disk_.Reset();  // the object goes, and with it every reference its point held
  for (const RecordingSink& sink : sinks) EXPECT_EQ(sink.references, 1u);
}

// Every sink gets each event through IDispatch::Invoke with its DISPID,
// IID_NULL, the user's default locale, DISPATCH_METHOD and its arguments in
// reverse order; a failing sink does not keep the next from it.
TEST_F(ComBindingTest, EventsReachEverySinkThroughInvoke) {
  holdADisk();
  ComPtr<IConnectionPoint> point = connectionPoint();
  RecordingSink failing(true, E_FAIL);
  RecordingSink second;
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(&failing, &cookie), S_OK);
  ASSERT_EQ(point->Advise(&second, &cookie), S_OK);

  EXPECT_EQ(disk_->enumMounted(nullptr), S_OK);
  point.Reset();
  disk_.Reset();  // before the sinks it holds go
  for (const RecordingSink* sink : {&failing, &second}) {
    ASSERT_EQ(sink->invocations.size(), 1u);
    const Invocation& call = sink->invocations[0];
    EXPECT_EQ(call.id, 1);
    EXPECT_TRUE(call.nullInterface);
    EXPECT_EQ(call.locale, LOCALE_USER_DEFAULT);
    EXPECT_EQ(call.flags, DISPATCH_METHOD);
    EXPECT_EQ(call.namedArguments, 0u);
    using Argument = std::pair<VARTYPE, std::wstring>;
    EXPECT_EQ(call.arguments, (std::vector<Argument>{{VT_BSTR, L"C:\\b.vkb"}, {VT_BSTR, L"first_tag"}}));
  }

  RecordingSink progressSink;
  progressSink.AddRef();  // the event sink's reference
  DispatchEventSink events{ComPtr<IDispatch>(&progressSink)};
  progressSink.Release();
  const auto answer = events.onImageIndexProgress(2, 1000.0, 250.0);
  EXPECT_TRUE(answer.argumentsBuilt);
  EXPECT_EQ(answer.result, S_OK);
  ASSERT_EQ(progressSink.invocations.size(), 1u);
  const Invocation& call = progressSink.invocations[0];
  EXPECT_EQ(call.id, 2);
  EXPECT_EQ(call.flags, DISPATCH_METHOD);
  using Argument = std::pair<VARTYPE, std::wstring>;
  EXPECT_EQ(call.arguments, (std::vector<Argument>{{VT_EMPTY, L""},
                                                   {VT_R8, std::to_wstring(250.0)},
                                                   {VT_R8, std::to_wstring(1000.0)},
                                                   {VT_I4, L"2"}}));
}

// Each creation gives a new object; objects and LockServer keep the server.
TEST_F(ComBindingTest, TheClassObjectMakesANewObjectForEachRequest) {
  const long before = ComServerLocks::count();
  ComPtr<IVirtualDisk> another;
  ASSERT_EQ(factory_.CreateInstance(nullptr, IID_IVirtualDisk, reinterpret_cast<void**>(another.GetAddressOf())), S_OK);
  EXPECT_NE(another.Get(), disk_.Get());
  EXPECT_EQ(ComServerLocks::count(), before + 1);
  another.Reset();
  EXPECT_EQ(ComServerLocks::count(), before);
  EXPECT_EQ(factory_.LockServer(TRUE), S_OK);
  EXPECT_EQ(ComServerLocks::count(), before + 1);
  EXPECT_EQ(factory_.LockServer(FALSE), S_OK);
  EXPECT_EQ(ComServerLocks::count(), before);

  ComPtr<IUnknown> outer;
  ASSERT_EQ(disk_.As(&outer), S_OK);
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory_.CreateInstance(outer.Get(), IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(factory_.CreateInstance(nullptr, IID_IConnectionPoint, &object), E_NOINTERFACE);
  EXPECT_EQ(ComServerLocks::count(), before) << "the refused object went at once";
}
