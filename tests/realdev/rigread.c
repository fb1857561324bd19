/* The least a program can do to read a drive, beside which the real one is measured and the rig
   waits for its driver. Opens \\.\PhysicalDriveN as the surface scan does (read-only, unbuffered)
   and either prints its size and model ("probe") or reads it whole in 1 MiB blocks, each at its
   offset, and prints the rate in MiB/s ("read"). "answers TITLE" ends with 0 when the window of
   that title answers a message within two seconds, 1 when it does not, 3 when there is none;
   "text TITLE" prints the texts of that window's static controls, a message box's message. */
#include <windows.h>
#include <winioctl.h>

#include <stdio.h>
#include <stdlib.h>

static BOOL CALLBACK PrintStatic(HWND child, LPARAM unused)
{
    char text[1024];
    (void)unused;
    if (GetClassNameA(child, text, sizeof(text)) && strcmp(text, "Static") == 0 &&
        GetWindowTextA(child, text, sizeof(text)) > 0)
        printf("%s\n", text);
    return TRUE;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: rigread probe|read DRIVE, or rigread answers TITLE\n");
        return 2;
    }
    if (strcmp(argv[1], "answers") == 0 || strcmp(argv[1], "text") == 0) {
        HWND window = FindWindowA(NULL, argv[2]);
        DWORD_PTR result;
        if (!window) return 3;
        if (strcmp(argv[1], "text") == 0) return !EnumChildWindows(window, PrintStatic, 0);
        return SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result) ? 0 : 1;
    }
    char path[32];
    snprintf(path, sizeof(path), "\\\\.\\PhysicalDrive%d", atoi(argv[2]));
    HANDLE device = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, NULL);
    GET_LENGTH_INFORMATION length;
    DWORD got = 0;
    if (device == INVALID_HANDLE_VALUE ||
        !DeviceIoControl(device, IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &length, sizeof(length), &got, NULL)) {
        fprintf(stderr, "%s: error %lu\n", path, GetLastError());
        return 1;
    }
    if (strcmp(argv[1], "probe") == 0) {
        STORAGE_PROPERTY_QUERY query = {StorageDeviceProperty, PropertyStandardQuery, {0}};
        union { STORAGE_DEVICE_DESCRIPTOR head; char bytes[512]; } answer = {0};
        const BOOL described = DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &answer,
                                               sizeof(answer), &got, NULL);
        printf("%lld %s\n", length.Length.QuadPart,
               described && answer.head.ProductIdOffset ? answer.bytes + answer.head.ProductIdOffset : "-");
        return 0;
    }
    const DWORD block = 1 << 20;
    char* buffer = VirtualAlloc(NULL, block, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (LONGLONG offset = 0; offset < length.Length.QuadPart; offset += block) {
        OVERLAPPED at = {0};
        at.Offset = (DWORD)offset;
        at.OffsetHigh = (DWORD)(offset >> 32);
        const LONGLONG left = length.Length.QuadPart - offset;
        if (!ReadFile(device, buffer, left < block ? (DWORD)left : block, &got, &at)) {
            fprintf(stderr, "read at %lld: error %lu\n", offset, GetLastError());
            return 1;
        }
    }
    QueryPerformanceCounter(&stop);
    const double seconds = (double)(stop.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
    printf("%.1f\n", (double)length.Length.QuadPart / 1048576.0 / seconds);
    return 0;
}
