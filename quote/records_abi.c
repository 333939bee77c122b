/* The output-record layouts as the C compiler sees kvo_records.h. */
#include "include/kvo_records.h"
#include "quote/records_abi.h"

#define KVO_SIZE_OF(rec) sizeof(rec),
#define KVO_OFFSET_OF(rec, field) offsetof(rec, field),

static const size_t kLayout[] = {KVO_RECORD_TYPES(KVO_SIZE_OF) KVO_RECORD_FIELDS(KVO_OFFSET_OF)};

const size_t* KvoRecordLayoutFromC(size_t* count) {
    *count = sizeof(kLayout) / sizeof(kLayout[0]);
    return kLayout;
}
