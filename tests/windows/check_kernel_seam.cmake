# cmake -DNM=<nm> -DLIBRARIES=<static library>[,<static library>...] -P check_kernel_seam.cmake
cmake_minimum_required(VERSION 3.20)
# Fails when a library calls a kernel service itself instead of through the Kernel class:
# such a call would escape the fake drives of the tests, and could reach a real drive.
set(services
  CreateFileA CreateFileW CreateFile2 CreateFileTransactedA CreateFileTransactedW OpenFile ReOpenFile
  _lopen _lcreat _lread _hread _lwrite _hwrite _lclose
  DeviceIoControl ReadFile ReadFileEx ReadFileScatter WriteFile WriteFileEx WriteFileGather
  SetFilePointer SetFilePointerEx SetEndOfFile SetFileValidData FlushFileBuffers DeleteFileA DeleteFileW
  CreateFileMappingA CreateFileMappingW MapViewOfFile DefineDosDeviceW CloseHandle
  VirtualAlloc VirtualAllocEx VirtualFree VirtualFreeEx MultiByteToWideChar
  QueryPerformanceCounter QueryPerformanceFrequency CreateThread CancelSynchronousIo CancelIoEx
  SetupDiGetClassDevsA SetupDiGetClassDevsW SetupDiEnumDeviceInterfaces SetupDiGetDeviceInterfaceDetailA
  SetupDiGetDeviceInterfaceDetailW SetupDiDestroyDeviceInfoList CM_Get_Parent CM_Get_Device_IDA CM_Get_Device_IDW
  SetupDiEnumDeviceInfo SetupDiGetDeviceRegistryPropertyA SetupDiGetDeviceRegistryPropertyW CM_Get_DevNode_Status
  CreateMutexA CreateMutexW OpenMutexW WaitForSingleObject ReleaseMutex
  GetErrorMode SetErrorMode FindFirstVolumeA FindFirstVolumeW FindNextVolumeA FindNextVolumeW FindVolumeClose
  GetVolumePathNamesForVolumeNameA GetVolumePathNamesForVolumeNameW GetVolumeInformationA GetVolumeInformationW
  GetDiskFreeSpaceExA GetDiskFreeSpaceExW)

string(REPLACE "," ";" libraries "${LIBRARIES}")
set(listing "")
foreach(library IN LISTS libraries)
  execute_process(COMMAND "${NM}" --undefined-only "${library}"
    OUTPUT_VARIABLE symbols ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${library}: ${errors}")
  endif()
  string(APPEND listing "${symbols}")
endforeach()

string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(direct "")
set(through_seam 0)
set(checked 0)
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^ *U (.+)$")
    continue()
  endif()
  set(symbol "${CMAKE_MATCH_1}")
  math(EXPR checked "${checked} + 1")
  if(symbol MATCHES "^_ZN6Kernel")
    math(EXPR through_seam "${through_seam} + 1")
  endif()
  string(REGEX REPLACE "^__imp_" "" name "${symbol}")
  if(name IN_LIST services OR name MATCHES "^(Nt|Zw)[A-Z]")
    list(APPEND direct "${symbol}")
  endif()
endforeach()

if(through_seam EQUAL 0)
  message(FATAL_ERROR "no call through Kernel:: in ${LIBRARIES}: not the libraries that hold the inventory")
endif()
if(direct)
  list(REMOVE_DUPLICATES direct)
  list(JOIN direct "\n  " direct)
  message(FATAL_ERROR "${LIBRARIES} call the kernel around the Kernel class:\n  ${direct}")
endif()
message(STATUS "${checked} undefined symbols of ${LIBRARIES}: ${through_seam} through Kernel::, none around it")
