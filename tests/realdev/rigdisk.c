/* A disk driver for the real-device tests under Wine, never shipped: \\.\PhysicalDriveN over the
   Linux block devices its service key names (DriveN, with ModelN, SerialN, BusN and GoneN). Each
   is read with O_DIRECT through Linux system calls of its own, since a Wine file read would bring
   the page cache back, and answers what a Windows disk answers, with its real size and the
   partition table on its own first sectors (MBR or GPT), as the disk driver does. Reads fail as
   Windows fails them: EIO as a medium error, ETIMEDOUT as a request the drive did not answer in
   time (STATUS_IO_TIMEOUT, which reaches the program as 121), and from byte GoneN on every request as a drive
   whose link dropped. A read that hangs is never cancelled: the disk class driver does not
   cancel one it is retrying either. */
#include <ntddk.h>
#include <ntdddisk.h>
#include <ntddstor.h>

enum { kMaxDisks = 8, kPage = 4096 };
enum { kLinuxIoctl = 16, kLinuxPread = 17, kLinuxOpenAt = 257, kEintr = -4, kEio = -5, kEtimedout = -110 };
#define LINUX_OPEN_DIRECT (0x4000 | 02000000) /* O_RDONLY | O_DIRECT | O_CLOEXEC */
#define LINUX_BLKGETSIZE64 0x80081272
#define LINUX_BLKSSZGET 0x1268

typedef struct {
    LONG64 fd;
    ULONG number, sector, busType;
    ULONGLONG size, goneAt;
    volatile LONG gone;
    char model[41], serial[21];
} Disk;

/* A Linux system call; its arguments and result are 64 bits wide (a Windows long is not). */
static LONG64 Linux(LONG64 call, LONG64 a, LONG64 b, LONG64 c, LONG64 d)
{
    register LONG64 r10 __asm__("r10") = d;
    LONG64 result;
    __asm__ volatile("syscall" : "=a"(result) : "a"(call), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
    return result;
}

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS Answer(IRP* irp, const void* answer, ULONG size, ULONG room)
{
    if (room < size) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    memcpy(irp->AssociatedIrp.SystemBuffer, answer, size);
    return Complete(irp, STATUS_SUCCESS, size);
}

static NTSTATUS Read(Disk* disk, ULONGLONG offset, ULONG length, char* out)
{
    if (disk->gone) return STATUS_NO_SUCH_DEVICE;
    if (offset % disk->sector || length % disk->sector) return STATUS_INVALID_PARAMETER;
    if (offset + length > disk->goneAt) {
        disk->gone = 1;
        return STATUS_NO_SUCH_DEVICE;
    }
    if (offset >= disk->size) return STATUS_END_OF_FILE;
    char* raw = ExAllocatePool(NonPagedPool, length + kPage);
    if (!raw) return STATUS_INSUFFICIENT_RESOURCES;
    char* aligned = (char*)(((ULONG_PTR)raw + kPage - 1) & ~(ULONG_PTR)(kPage - 1));
    LONG64 got = 0, result = 0;
    while (got < length && (result = Linux(kLinuxPread, disk->fd, (LONG_PTR)(aligned + got), length - got,
                                           offset + got)) != 0) {
        if (result < 0 && result != kEintr) break;
        if (result > 0) got += result;
    }
    if (got == length) memcpy(out, aligned, length);
    ExFreePool(raw);
    if (got == length) return STATUS_SUCCESS;
    return result == kEio ? STATUS_DEVICE_DATA_ERROR : result == kEtimedout ? STATUS_IO_TIMEOUT : STATUS_IO_DEVICE_ERROR;
}

/* Reads run on threads of their own, so that one that hangs holds up no other request. */
static void WINAPI ReadOnItsThread(void* context)
{
    IRP* irp = context;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    Disk* disk = stack->DeviceObject->DeviceExtension;
    FILE_OBJECT* file = irp->Tail.Overlay.OriginalFileObject;
    ULONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = stack->Parameters.Read.Length;
    /* Wine hands a read that names no offset to the driver at offset 0, where Windows' I/O manager
       gives the handle's position: a read at 0 goes on from where the handle's last read ended. */
    if (offset == 0 && file) offset = file->CurrentByteOffset.QuadPart;
    if (offset < disk->size && length > disk->size - offset) length = disk->size - offset; /* up to the end */
    NTSTATUS status = Read(disk, offset, length, irp->UserBuffer);
    if (status == STATUS_SUCCESS && file) file->CurrentByteOffset.QuadPart = offset + length;
    Complete(irp, status, status == STATUS_SUCCESS ? length : 0);
}

static NTSTATUS WINAPI DispatchRead(DEVICE_OBJECT* device, IRP* irp)
{
    (void)device;
    HANDLE thread;
    IoMarkIrpPending(irp);
    if (PsCreateSystemThread(&thread, 0, NULL, NULL, NULL, ReadOnItsThread, irp) < 0)
        Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    else
        ZwClose(thread);
    return STATUS_PENDING;
}

static NTSTATUS Describe(Disk* disk, IRP* irp, ULONG in, ULONG room)
{
    const STORAGE_PROPERTY_QUERY* query = irp->AssociatedIrp.SystemBuffer;
    if (in < 8 || query->PropertyId != StorageDeviceProperty || query->QueryType != PropertyStandardQuery)
        return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    struct { STORAGE_DEVICE_DESCRIPTOR head; char text[80]; } answer = {0};
    ULONG at = FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);
    const char* texts[3] = {disk->model, "1.0", disk->serial};
    ULONG* offsets[3] = {&answer.head.ProductIdOffset, &answer.head.ProductRevisionOffset,
                         &answer.head.SerialNumberOffset};
    for (int i = 0; i < 3; ++i) {
        *offsets[i] = at;
        for (const char* c = texts[i]; *c; ++c) ((char*)&answer)[at++] = *c;
        ((char*)&answer)[at++] = 0;
    }
    answer.head.Version = answer.head.Size = at;
    answer.head.BusType = disk->busType;
    return Answer(irp, &answer, room < at && room >= sizeof(STORAGE_DESCRIPTOR_HEADER) ? room : at, room);
}

static ULONGLONG Little(const unsigned char* at, int bytes)
{
    ULONGLONG value = 0;
    while (bytes-- > 0) value = value << 8 | at[bytes];
    return value;
}

/* The partition table on the drive's first sectors, as the disk driver hands it out: an MBR's
   four primary entries (numbered from 1 in order where they are used; no logical partitions), a
   GPT's used entries numbered from 1, or RAW. */
enum { kMostPartitions = 128, kGptEntriesBytes = 16384 };
static NTSTATUS Layout(Disk* disk, IRP* irp, ULONG room)
{
    const ULONG head = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
    const ULONG most = head + kMostPartitions * sizeof(PARTITION_INFORMATION_EX);
    const ULONG readable = 2 * disk->sector + kGptEntriesBytes;
    DRIVE_LAYOUT_INFORMATION_EX* layout = ExAllocatePool(NonPagedPool, most);
    unsigned char* bytes = ExAllocatePool(NonPagedPool, readable);
    NTSTATUS status = layout && bytes ? Read(disk, 0, 2 * disk->sector, (char*)bytes) : STATUS_INSUFFICIENT_RESOURCES;
    ULONG count = 0;
    if (status == STATUS_SUCCESS) {
        memset(layout, 0, most);
        layout->PartitionStyle = PARTITION_STYLE_RAW;
        const unsigned char* gpt = bytes + disk->sector;
        const ULONG entrySize = (ULONG)Little(gpt + 84, 4), entries = (ULONG)Little(gpt + 80, 4);
        if (bytes[510] == 0x55 && bytes[511] == 0xAA && bytes[446 + 4] == 0xEE && memcmp(gpt, "EFI PART", 8) == 0 &&
            entrySize >= 128 && (ULONGLONG)entrySize * entries <= kGptEntriesBytes) {
            status = Read(disk, Little(gpt + 72, 8) * disk->sector,
                          (entrySize * entries + disk->sector - 1) / disk->sector * disk->sector,
                          (char*)bytes + 2 * disk->sector);
            layout->PartitionStyle = PARTITION_STYLE_GPT;
            memcpy(&layout->Gpt.DiskId, gpt + 56, sizeof(GUID));
            layout->Gpt.StartingUsableOffset.QuadPart = Little(gpt + 40, 8) * disk->sector;
            layout->Gpt.UsableLength.QuadPart = (Little(gpt + 48, 8) - Little(gpt + 40, 8) + 1) * disk->sector;
            layout->Gpt.MaxPartitionCount = entries;
            for (ULONG i = 0; status == STATUS_SUCCESS && i < entries; ++i) {
                const unsigned char* entry = bytes + 2 * disk->sector + i * entrySize;
                static const unsigned char unused[16];
                if (memcmp(entry, unused, 16) == 0) continue;
                PARTITION_INFORMATION_EX* out = &layout->PartitionEntry[count++];
                out->PartitionStyle = PARTITION_STYLE_GPT;
                out->StartingOffset.QuadPart = Little(entry + 32, 8) * disk->sector;
                out->PartitionLength.QuadPart = (Little(entry + 40, 8) - Little(entry + 32, 8) + 1) * disk->sector;
                out->PartitionNumber = count;
                memcpy(&out->Gpt.PartitionType, entry, sizeof(GUID));
                memcpy(&out->Gpt.PartitionId, entry + 16, sizeof(GUID));
                out->Gpt.Attributes = Little(entry + 48, 8);
                memcpy(out->Gpt.Name, entry + 56, sizeof(out->Gpt.Name));
            }
        } else if (bytes[510] == 0x55 && bytes[511] == 0xAA) {
            layout->PartitionStyle = PARTITION_STYLE_MBR;
            layout->Mbr.Signature = (ULONG)Little(bytes + 440, 4);
            ULONG used = 0;
            for (count = 0; count < 4; ++count) {
                const unsigned char* entry = bytes + 446 + 16 * count;
                PARTITION_INFORMATION_EX* out = &layout->PartitionEntry[count];
                out->PartitionStyle = PARTITION_STYLE_MBR;
                if (entry[4] == 0) continue;
                out->StartingOffset.QuadPart = Little(entry + 8, 4) * disk->sector;
                out->PartitionLength.QuadPart = Little(entry + 12, 4) * disk->sector;
                out->PartitionNumber = ++used;
                out->Mbr.PartitionType = entry[4];
                out->Mbr.BootIndicator = entry[0] == 0x80;
                out->Mbr.RecognizedPartition = TRUE;
                out->Mbr.HiddenSectors = (ULONG)Little(entry + 8, 4);
            }
        }
        layout->PartitionCount = count;
    }
    if (bytes) ExFreePool(bytes);
    if (status != STATUS_SUCCESS) {
        if (layout) ExFreePool(layout);
        return Complete(irp, status, 0);
    }
    status = Answer(irp, layout, head + count * sizeof(PARTITION_INFORMATION_EX), room);
    ExFreePool(layout);
    return status;
}

static NTSTATUS WINAPI DispatchControl(DEVICE_OBJECT* device, IRP* irp)
{
    Disk* disk = device->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (disk->gone) return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_DISK_GET_LENGTH_INFO: {
        GET_LENGTH_INFORMATION answer = {.Length.QuadPart = disk->size};
        return Answer(irp, &answer, sizeof(answer), room);
    }
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
        DISK_GEOMETRY_EX answer = {.Geometry = {.MediaType = FixedMedia, .TracksPerCylinder = 255,
                                                .SectorsPerTrack = 63, .BytesPerSector = disk->sector}};
        answer.Geometry.Cylinders.QuadPart = disk->size / (255 * 63 * disk->sector);
        answer.DiskSize.QuadPart = disk->size;
        return Answer(irp, &answer, FIELD_OFFSET(DISK_GEOMETRY_EX, Data), room);
    }
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        STORAGE_DEVICE_NUMBER answer = {FILE_DEVICE_DISK, disk->number, 0};
        return Answer(irp, &answer, sizeof(answer), room);
    }
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return Describe(disk, irp, stack->Parameters.DeviceIoControl.InputBufferLength, room);
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
        return Layout(disk, irp, room);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS WINAPI DispatchOpenClose(DEVICE_OBJECT* device, IRP* irp)
{
    const Disk* disk = device->DeviceExtension;
    return Complete(irp, disk->gone ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS, 0);
}

/* `data` gets at most `size` bytes of value `stem` followed by the digit `n`; 0 when it is missing. */
static ULONG Query(HANDLE key, const char* stem, ULONG n, void* data, ULONG size)
{
    WCHAR name[16];
    int at = 0;
    while (*stem) name[at++] = *stem++;
    name[at++] = L'0' + n;
    name[at] = 0;
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    union { KEY_VALUE_PARTIAL_INFORMATION info; UCHAR bytes[512]; } value;
    ULONG got = 0;
    if (ZwQueryValueKey(key, &text, KeyValuePartialInformation, &value, sizeof(value), &got) < 0 ||
        value.info.DataLength > size)
        return 0;
    memcpy(data, value.info.Data, value.info.DataLength);
    return value.info.DataLength;
}

/* A text value, narrowed: the rig writes ASCII only. */
static ULONG QueryText(HANDLE key, const char* stem, ULONG n, char* out, ULONG size)
{
    WCHAR wide[128] = {0};
    ULONG length = Query(key, stem, n, wide, sizeof(wide) - sizeof(WCHAR)) / sizeof(WCHAR), i = 0;
    for (; i < length && i + 1 < size && wide[i]; ++i) out[i] = (char)wide[i];
    out[i] = 0;
    return i;
}

static void AddDisk(DRIVER_OBJECT* driver, HANDLE key, ULONG n)
{
    char path[128];
    if (!QueryText(key, "Drive", n, path, sizeof(path))) return;
    LONG64 fd = Linux(kLinuxOpenAt, -100 /* AT_FDCWD */, (LONG_PTR)path, LINUX_OPEN_DIRECT, 0);
    ULONGLONG size = 0;
    int sector = 0;
    if (fd < 0 || Linux(kLinuxIoctl, fd, LINUX_BLKGETSIZE64, (LONG_PTR)&size, 0) < 0 ||
        Linux(kLinuxIoctl, fd, LINUX_BLKSSZGET, (LONG_PTR)&sector, 0) < 0) {
        DbgPrint("rigdisk: cannot open %s (%lld)\n", path, fd);
        return;
    }
    WCHAR deviceText[] = L"\\Device\\RigDisk0", linkText[] = L"\\??\\PhysicalDrive0";
    deviceText[15] = linkText[17] = L'0' + n;
    UNICODE_STRING deviceName, linkName;
    RtlInitUnicodeString(&deviceName, deviceText);
    RtlInitUnicodeString(&linkName, linkText);
    DEVICE_OBJECT* device;
    if (IoCreateDevice(driver, sizeof(Disk), &deviceName, FILE_DEVICE_DISK, 0, FALSE, &device) < 0) return;
    Disk* disk = device->DeviceExtension;
    *disk = (Disk){.fd = fd, .number = n, .sector = sector, .busType = BusTypeSata, .size = size, .goneAt = ~0ull};
    QueryText(key, "Model", n, disk->model, sizeof(disk->model));
    QueryText(key, "Serial", n, disk->serial, sizeof(disk->serial));
    Query(key, "Bus", n, &disk->busType, sizeof(disk->busType));
    Query(key, "Gone", n, &disk->goneAt, sizeof(disk->goneAt));
    IoDeleteSymbolicLink(&linkName); /* the number may be Wine's mount manager's, which reads nothing */
    IoCreateSymbolicLink(&linkName, &deviceName);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry)
{
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    InitializeObjectAttributes(&attributes, registry, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (ZwOpenKey(&key, KEY_READ, &attributes) < 0) return STATUS_UNSUCCESSFUL;
    driver->MajorFunction[IRP_MJ_CREATE] = driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    for (ULONG n = 0; n < kMaxDisks; ++n) AddDisk(driver, key, n);
    ZwClose(key);
    return STATUS_SUCCESS;
}
