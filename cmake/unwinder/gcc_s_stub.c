/* Link-time stand-in for the system's libgcc_s.so.1: names and versions only, never loaded. */
#define STUB(name) \
  void name(void); \
  void name(void) {}
STUB(_Unwind_Backtrace)
STUB(_Unwind_DeleteException)
STUB(_Unwind_FindEnclosingFunction)
STUB(_Unwind_Find_FDE)
STUB(_Unwind_ForcedUnwind)
STUB(_Unwind_GetCFA)
STUB(_Unwind_GetDataRelBase)
STUB(_Unwind_GetGR)
STUB(_Unwind_GetIP)
STUB(_Unwind_GetIPInfo)
STUB(_Unwind_GetLanguageSpecificData)
STUB(_Unwind_GetRegionStart)
STUB(_Unwind_GetTextRelBase)
STUB(_Unwind_RaiseException)
STUB(_Unwind_Resume)
STUB(_Unwind_Resume_or_Rethrow)
STUB(_Unwind_SetGR)
STUB(_Unwind_SetIP)
