// kv_e2e_watch_children PROGID ID...   prints for each id the document of
// IKestrovaOPCWatch::GetChildren (the tool's own connection is marked self = "1") or
// ERROR 0x%08X. Exit 1 when the server or its watch interface cannot be reached.
#include <windows.h>
#include <objbase.h>

#include <cstdio>

#include "common/TVCmnComPtr.h"
#include "idl/kestrovaopc.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: kv_e2e_watch_children PROGID ID...\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    int rc = 1;
    CLSID clsid;
    {
        TVCmnComPtr<IKestrovaOPCWatch> watch;
        if (SUCCEEDED(CLSIDFromProgID(argv[1], &clsid)) &&
            SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IKestrovaOPCWatch, watch.putVoid()))) {
            for (int i = 2; i < argc; ++i) {
                LPWSTR children = nullptr;
                const HRESULT hr = watch->GetChildren(argv[i], &children);
                if (SUCCEEDED(hr))
                    printf("%ls\n", children);
                else
                    printf("ERROR 0x%08lX\n", static_cast<unsigned long>(hr));
                CoTaskMemFree(children);
            }
            rc = 0;
        }
    }
    CoUninitialize();
    return rc;
}
