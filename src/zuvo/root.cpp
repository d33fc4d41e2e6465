// The installation's root, read once a process: each start of the service
// is a process of its own.
#include <stdlib.h>

#include "platform/advapi.h"
#include "service/host.h"
#include "zuvo/supervisor.h"

#define ROOT_CHARS 32767  // the longest value a variable holds

static WCHAR *szRoot = const_cast<WCHAR *>(L"");  // then the process's, never freed
INIT_ONCE ioRoot = INIT_ONCE_STATIC_INIT;

static BOOL CALLBACK ReadRootOnce(PINIT_ONCE pInitOnce, PVOID pParam, PVOID *ppContext)
{
    (void)pInitOnce;
    (void)pParam;
    (void)ppContext;
    // The service manager's environment is the one it read when Windows
    // started: the registry has the value set since, by the package or by
    // setx /M. It becomes this process's, which the script inherits.
    WCHAR *lpszRead = static_cast<WCHAR *>(malloc((ROOT_CHARS + 1) * sizeof(WCHAR)));

    if (lpszRead == NULL)
        return TRUE;  // no root
    szRoot = lpszRead;
    // Only where it holds none, the process's own; a value it cannot read
    // is no root.
    LONG lErr = bDebug ? ERROR_FILE_NOT_FOUND
                       : RegGetSystemVariable(L"" ROOT_VARIABLE, szRoot, (ROOT_CHARS + 1) * sizeof(WCHAR));

    if (lErr == ERROR_SUCCESS ? !SetEnvironmentVariableW(L"" ROOT_VARIABLE, szRoot)
                              : lErr != ERROR_FILE_NOT_FOUND ||
                                    GetEnvironmentVariableW(L"" ROOT_VARIABLE, szRoot, ROOT_CHARS + 1) - 1 >= ROOT_CHARS)
        szRoot[0] = L'\0';
    return TRUE;
}

const WCHAR *ReadRoot(void)
{
    InitOnceExecuteOnce(&ioRoot, ReadRootOnce, NULL, NULL);
    return szRoot;
}
