#pragma once
// Counts the COM task-allocator blocks that are allocated while it is registered and not
// yet freed: after a client flow that frees everything it was given, anything left is a
// leak of the server's (or of the client, which the test then is).

#include <objbase.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

namespace twopc::test {

// An IMallocSpy that passes every call through unchanged; tests override what they watch.
// It is not reference counted: it lives as long as the test keeps it.
class PassThroughMallocSpy : public IMallocSpy {
public:
    virtual ~PassThroughMallocSpy() = default;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = riid == IID_IUnknown || riid == IID_IMallocSpy ? static_cast<IMallocSpy*>(this) : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cbRequest) override { return cbRequest; }
    STDMETHODIMP_(void*) PostAlloc(void* pActual) override { return pActual; }
    STDMETHODIMP_(void*) PreFree(void* pRequest, BOOL) override { return pRequest; }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* pRequest, SIZE_T cbRequest, void** ppNewRequest, BOOL) override
    {
        *ppNewRequest = pRequest;
        return cbRequest;
    }
    STDMETHODIMP_(void*) PostRealloc(void* pActual, BOOL) override { return pActual; }
    STDMETHODIMP_(void*) PreGetSize(void* pRequest, BOOL) override { return pRequest; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T cbActual, BOOL) override { return cbActual; }
    STDMETHODIMP_(void*) PreDidAlloc(void* pRequest, BOOL) override { return pRequest; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int fActual) override { return fActual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}
};

class MallocSpy final : public PassThroughMallocSpy {
public:
    // Registers itself for its lifetime; check Registered().
    MallocSpy() { m_registered = SUCCEEDED(CoRegisterMallocSpy(this)); }
    ~MallocSpy()
    {
        if (m_registered) CoRevokeMallocSpy();
    }
    MallocSpy(const MallocSpy&) = delete;
    MallocSpy& operator=(const MallocSpy&) = delete;

    bool Registered() const { return m_registered; }

    // Blocks allocated since registration and not freed.
    std::size_t LiveBlocks()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_live.size();
    }
    std::size_t LiveBytes()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        std::size_t bytes = 0;
        for (const auto& block : m_live) bytes += block.second;
        return bytes;
    }
    // Sizes and first bytes of the live blocks, for a failure message.
    std::string Describe()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        std::string text;
        for (const auto& block : m_live) {
            char line[160];
            const unsigned char* bytes = static_cast<const unsigned char*>(block.first);
            std::snprintf(line, sizeof line, "%zu bytes:", static_cast<std::size_t>(block.second));
            text += line;
            for (std::size_t i = 0; i < block.second && i < 24; ++i) {
                std::snprintf(line, sizeof line, " %02x", bytes[i]);
                text += line;
            }
            text += "\n";
        }
        return text;
    }

    std::size_t Allocations()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_allocations;
    }

    // IMallocSpy
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cbRequest) override
    {
        m_pendingSize = cbRequest;
        return cbRequest;
    }
    STDMETHODIMP_(void*) PostAlloc(void* pActual) override
    {
        if (pActual) Track(pActual, m_pendingSize);
        return pActual;
    }
    STDMETHODIMP_(void*) PreFree(void* pRequest, BOOL fSpyed) override
    {
        if (fSpyed) Untrack(pRequest);
        return pRequest;
    }
    STDMETHODIMP_(SIZE_T) PreRealloc(void* pRequest, SIZE_T cbRequest, void** ppNewRequest, BOOL fSpyed) override
    {
        if (fSpyed && pRequest) Untrack(pRequest);
        m_pendingSize = cbRequest;
        *ppNewRequest = pRequest;
        return cbRequest;
    }
    STDMETHODIMP_(void*) PostRealloc(void* pActual, BOOL) override
    {
        if (pActual) Track(pActual, m_pendingSize);
        return pActual;
    }

private:
    void Track(void* block, SIZE_T size)
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_live[block] = size;
        ++m_allocations;
    }
    void Untrack(void* block)
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_live.erase(block);
    }

    bool m_registered = false;
    // The spy is called around each allocation on the allocating thread.
    static inline thread_local SIZE_T m_pendingSize = 0;
    std::mutex m_mutex;
    std::unordered_map<void*, SIZE_T> m_live;
    std::size_t m_allocations = 0;
};

}  // namespace twopc::test
