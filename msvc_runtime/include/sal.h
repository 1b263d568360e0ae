// Stands in for the source annotations of <sal.h> that Wine's lacks and
// the C++ library's headers use; like every annotation in a build without
// the code analyzer, they expand to nothing.
#ifndef IP232_MSVC_RUNTIME_SAL_H_
#define IP232_MSVC_RUNTIME_SAL_H_

#include_next <sal.h>

#ifndef _Analysis_assume_
#define _Analysis_assume_(expr)
#endif
#ifndef _Field_z_
#define _Field_z_
#endif
#ifndef _Guarded_by_
#define _Guarded_by_(lock)
#endif
#ifndef _In_range_
#define _In_range_(low, high)
#endif
#ifndef _Inout_bytecount_
#define _Inout_bytecount_(size)
#endif
#ifndef _Post_equal_to_
#define _Post_equal_to_(expr)
#endif
#ifndef _Post_readable_size_
#define _Post_readable_size_(size)
#endif
#ifndef _Post_satisfies_
#define _Post_satisfies_(expr)
#endif
#ifndef _Pre_satisfies_
#define _Pre_satisfies_(expr)
#endif
#ifndef _When_
#define _When_(expr, annotation)
#endif
#ifndef _Success_
#define _Success_(expr)
#endif
#ifndef _Out_writes_z_
#define _Out_writes_z_(size)
#endif

#endif  // IP232_MSVC_RUNTIME_SAL_H_
