/* Memory floor of a console program under Wine, for the benchmark's peak
 * memory figures. Not part of the product; built by bench/run-bench.sh.
 *
 *   floor.exe empty   does nothing: the resident set of any Wine process
 *   floor.exe dlls    loads and uses what the scanner uses, once: a CryptoAPI
 *                     context and an MD5 hash of 1 KiB, a WinINet session and
 *                     one request to a loopback port that refuses it
 *
 * It prints its own PeakWorkingSetSize as Wine reports it (GetProcessMemoryInfo),
 * to compare with the resident set measured from outside.
 */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <string.h>
#include <wincrypt.h>
#include <wininet.h>

static void use_same_dlls(void) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE piece[1024];
    BYTE digest[16];
    DWORD length = sizeof(digest);
    memset(piece, 0x5a, sizeof(piece));
    if (CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
            CryptHashData(hash, piece, sizeof(piece), 0);
            CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0);
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(provider, 0);
    }
    HINTERNET session =
        InternetOpenW(L"floor-probe", INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY, NULL, NULL, 0);
    if (session != NULL) {
        /* Port 9 on loopback: refused at once; nothing leaves the machine. */
        HINTERNET request = InternetOpenUrlW(session, L"http://127.0.0.1:9/", NULL, 0,
                                             INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
        if (request != NULL) {
            InternetCloseHandle(request);
        }
        InternetCloseHandle(session);
    }
}

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "dlls") == 0) {
        use_same_dlls();
    }
    PROCESS_MEMORY_COUNTERS counters;
    memset(&counters, 0, sizeof(counters));
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        printf("PeakWorkingSetSize %lu KiB, WorkingSetSize %lu KiB, PagefileUsage %lu KiB\n",
               (unsigned long)(counters.PeakWorkingSetSize / 1024),
               (unsigned long)(counters.WorkingSetSize / 1024),
               (unsigned long)(counters.PagefileUsage / 1024));
    }
    fflush(stdout);
    return 0;
}
