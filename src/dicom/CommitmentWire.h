#pragma once
// The storage commitment messages as the toolkit carries them; shared by the requester
// and the receiver, seen by no one outside src/dicom.
#include "dicom/CommitmentRequester.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmnet/dimse.h>

namespace dicom {

// The report an N-EVENT-REPORT's data set carries; nothing when it names no transaction.
std::optional<CommitmentReport> reportOfDataSet(DcmDataset &ds, quint16 eventType);

// The answer to an N-EVENT-REPORT with the Affected SOP Class and Instance UIDs and the
// event type filled in: archives such as Orthanc refuse an answer without them (the
// toolkit's own answer leaves them out).
T_DIMSE_Message eventReportAnswer(const T_DIMSE_N_EventReportRQ &rq, Uint16 status);

} // namespace dicom
