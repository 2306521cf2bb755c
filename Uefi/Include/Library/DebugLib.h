/** @file
  DebugLib: debug messages and assertions, in the shape of EDK II's library
  class (the same macros, levels and functions), so that driver code written
  against it builds unchanged in both trees.
**/

#ifndef __DEBUG_LIB_H__
#define __DEBUG_LIB_H__

#include <Uefi.h>

#ifdef __cplusplus
extern "C" {
#endif

//
// Message levels.
//
#define DEBUG_INIT     0x00000001ULL  ///< initialisation
#define DEBUG_WARN     0x00000002ULL  ///< warnings
#define DEBUG_LOAD     0x00000004ULL  ///< load events
#define DEBUG_FS       0x00000008ULL  ///< file system
#define DEBUG_INFO     0x00000040ULL  ///< informational messages
#define DEBUG_DISPATCH 0x00000080ULL  ///< dispatcher
#define DEBUG_VARIABLE 0x00000100ULL  ///< variables
#define DEBUG_VERBOSE  0x00400000ULL  ///< detailed messages
#define DEBUG_ERROR    0x80000000ULL  ///< errors

/**
  Prints a message if ErrorLevel is enabled.

  @param[in] ErrorLevel  The message's level (DEBUG_*).
  @param[in] Format      A format string in EDK II's PrintLib syntax.
  @param[in] ...         The format's arguments.
**/
VOID EFIAPI DebugPrint (IN UINTN ErrorLevel, IN CONST CHAR8 *Format, ...);

/**
  Reports a failed assertion.

  @param[in] FileName     The source file of the assertion.
  @param[in] LineNumber   Its line.
  @param[in] Description  The expression that was FALSE.
**/
VOID EFIAPI DebugAssert (IN CONST CHAR8 *FileName, IN UINTN LineNumber, IN CONST CHAR8 *Description);

/**
  @retval TRUE   DEBUG messages are printed.
  @retval FALSE  They are not.
**/
BOOLEAN EFIAPI DebugPrintEnabled (VOID);

/**
  @retval TRUE   ASSERT is checked.
  @retval FALSE  It is not.
**/
BOOLEAN EFIAPI DebugAssertEnabled (VOID);

/**
  @param[in] ErrorLevel  A message level.

  @retval TRUE   Messages of that level are printed.
  @retval FALSE  They are not.
**/
BOOLEAN EFIAPI DebugPrintLevelEnabled (IN CONST UINTN ErrorLevel);

#ifdef __cplusplus
}
#endif

#define _DEBUG_PRINT(PrintLevel, ...)                 \
  do {                                                \
    if (DebugPrintLevelEnabled (PrintLevel)) {        \
      DebugPrint (PrintLevel, ##__VA_ARGS__);         \
    }                                                 \
  } while (FALSE)

#define _DEBUG(Expression)  _DEBUG_PRINT Expression

///
/// DEBUG ((Level, Format, ...)): the message, when the instance prints it.
///
#define DEBUG(Expression)          \
  do {                             \
    if (DebugPrintEnabled ()) {    \
      _DEBUG (Expression);         \
    }                              \
  } while (FALSE)

///
/// ASSERT (Expression): reports the expression when it is FALSE and the
/// instance checks assertions.
///
#define ASSERT(Expression)                                       \
  do {                                                           \
    if (DebugAssertEnabled () && !(Expression)) {                \
      DebugAssert (__FILE__, __LINE__, #Expression);             \
    }                                                            \
  } while (FALSE)

#define ASSERT_EFI_ERROR(StatusParameter)                        \
  do {                                                           \
    if (DebugAssertEnabled () && EFI_ERROR (StatusParameter)) {  \
      DebugAssert (__FILE__, __LINE__, "!EFI_ERROR (" #StatusParameter ")"); \
    }                                                            \
  } while (FALSE)

#endif
