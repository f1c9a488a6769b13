#include "common/TVCmnComPtr.h"

#include <gtest/gtest.h>

#include "common/TVCmnTaskMem.h"

// A second interface with its own IID, so QueryInterface has something to find.
struct IKvCommonTestOther : public IUnknown {
    virtual int STDMETHODCALLTYPE answer() = 0;
};
__CRT_UUID_DECL(IKvCommonTestOther, 0x6b1e7d30, 0x2c4f, 0x4d7a, 0x9e, 0x51, 0x0a, 0x3b, 0x7c, 0x11, 0x52, 0xe4)

namespace {

class FakeObject : public IKvCommonTestOther {
public:
    // The count lives with the test, so it can be read after the object is gone.
    FakeObject(ULONG& count, int& destroyed) : count_(count), destroyed_(destroyed) { count_ = 1; }
    virtual ~FakeObject() { ++destroyed_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IKvCommonTestOther))) {
            *out = static_cast<IKvCommonTestOther*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --count_;
        if (left == 0)
            delete this;
        return left;
    }
    int STDMETHODCALLTYPE answer() override { return 42; }

private:
    ULONG& count_;  // starts with the creator's reference
    int& destroyed_;
};

// An IID nobody implements.
const IID kUnknownIid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

TEST(TVCmnComPtrTest, CountsReferencesThroughCopyMoveAttachDetachAndPut)
{
    int destroyed = 0;
    ULONG count = 0;
    auto* object = new FakeObject(count, destroyed);
    {
        TVCmnComPtr<IUnknown> held;
        held.attach(object);  // takes the creator's reference
        EXPECT_EQ(count, 1u);
        TVCmnComPtr<IUnknown> copy = held;
        EXPECT_EQ(count, 2u);
        TVCmnComPtr<IUnknown> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(count, 2u);

        IUnknown* out = nullptr;
        EXPECT_EQ(moved.copyTo(&out), S_OK);
        EXPECT_EQ(count, 3u) << "copyTo hands out its own reference";
        EXPECT_EQ(moved.copyTo(nullptr), E_POINTER);

        *moved.put() = out;  // put() released the old one, the slot adopts 'out'
        EXPECT_EQ(count, 2u);

        IUnknown* detached = moved.detach();
        EXPECT_EQ(count, 2u);
        detached->Release();
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1) << "the last owner released it, once";
}

TEST(TVCmnComPtrTest, QueryInterfaceFillsOnlyOnSuccess)
{
    int destroyed = 0;
    ULONG count = 0;
    TVCmnComPtr<IUnknown> unknown;
    unknown.attach(new FakeObject(count, destroyed));

    TVCmnComPtr<IKvCommonTestOther> other;
    ASSERT_EQ(unknown.queryInterface(other), S_OK);
    EXPECT_EQ(other->answer(), 42);
    EXPECT_EQ(count, 2u);

    EXPECT_EQ(unknown.queryInterface(kUnknownIid, other), E_NOINTERFACE);
    EXPECT_FALSE(other) << "a failed query leaves the target empty, the old reference released";

    TVCmnComPtr<IUnknown> empty;
    EXPECT_EQ(empty.queryInterface(other), E_POINTER);
    unknown.reset();
    EXPECT_EQ(destroyed, 1);
}

TEST(TVCmnTaskMemTest, AllocatesZeroedAndFreesOrHandsOver)
{
    TVCmnTaskMem<HRESULT> errors;
    ASSERT_TRUE(errors.allocate(4));
    EXPECT_EQ(errors.count(), 4u);
    for (std::size_t i = 0; i < errors.count(); ++i)
        EXPECT_EQ(errors[i], S_OK) << "element " << i;

    ASSERT_TRUE(errors.allocate(0)) << "an empty result array is still an array";
    EXPECT_TRUE(errors);

    TVCmnTaskMem<DWORD> handles;
    ASSERT_TRUE(handles.allocate(2));
    handles[1] = 7;
    DWORD* handedOut = handles.detach();
    EXPECT_FALSE(handles);
    EXPECT_EQ(handedOut[1], 7u);
    TVCmnTaskMem<DWORD> moved;
    moved.attach(handedOut, 2);  // back under an owner, freed at scope end (ASan checks)
    TVCmnTaskMem<DWORD> other = std::move(moved);
    EXPECT_EQ(other.count(), 2u);

    TVCmnTaskMem<double> huge;
    EXPECT_FALSE(huge.allocate(static_cast<std::size_t>(-1) / 4)) << "size overflow is refused";
    EXPECT_FALSE(huge);
}

}  // namespace
