// A Modality Performed Procedure Step provider for the tests and the demo room, on
// dcmjs-dimse (an implementation independent of the station's toolkit). It listens on
// loopback only, keeps each step as the N-CREATE and N-SETs made it, and writes every
// message it answered, in order, to the JSON file named by --record (rewritten after each
// message, through a temporary file). The tests read that file.
//
//   node peers/mpps_scp.js --port 11112 --aet MPPS --record /tmp/mpps.json
'use strict';
const fs = require('fs');
const net = require('net');
const path = require('path');

function option(name, fallback) {
  const i = process.argv.indexOf('--' + name);
  return i > 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const dimse = require(process.env.CALVAREX_DIMSE_DIR ||
                      path.join(__dirname, 'npm', 'node_modules', 'dcmjs-dimse'));
const { Scp } = dimse;
// Its own log only for problems: the record file says what came.
dimse.log.setLevel(process.env.CALVAREX_DIMSE_LOG || 'warn');
const { NCreateResponse, NSetResponse, CEchoResponse } = dimse.responses;
const { Status, PresentationContextResult: PCR, TransferSyntax: TS, SopClass } = dimse.constants;

const port = Number(option('port', '11112'));
const aet = option('aet', 'MPPS');
const record = option('record', '');
const steps = new Map(); // SOP Instance UID -> attributes
const messages = [];     // what was answered, in order

function save() {
  if (!record)
    return;
  const tmp = record + '.part';
  fs.writeFileSync(tmp, JSON.stringify({ messages, steps: Object.fromEntries(steps) }, null, 1));
  fs.renameSync(tmp, record);
}

class MppsScp extends Scp {
  associationRequested(association) {
    if (association.getCalledAeTitle() !== aet) {
      this.sendAssociationReject(1, 1, 7); // rejected permanently: called AE title not recognised
      return;
    }
    this.calling = association.getCallingAeTitle();
    association.getPresentationContexts().forEach(({ id }) => {
      const ctx = association.getPresentationContext(id);
      const known = [SopClass.ModalityPerformedProcedureStep, SopClass.Verification]
                        .includes(ctx.getAbstractSyntaxUid());
      const ts = ctx.getTransferSyntaxUids().find((t) => t === TS.ExplicitVRLittleEndian ||
                                                         t === TS.ImplicitVRLittleEndian);
      if (known && ts)
        ctx.setResult(PCR.Accept, ts);
      else
        ctx.setResult(known ? PCR.RejectTransferSyntaxesNotSupported : PCR.RejectAbstractSyntaxNotSupported);
    });
    this.sendAssociationAccept();
  }

  associationReleaseRequested() { this.sendAssociationReleaseResponse(); }

  cEchoRequest(request, callback) {
    const response = CEchoResponse.fromRequest(request);
    response.setStatus(Status.Success);
    callback(response);
  }

  nCreateRequest(request, callback) {
    const response = NCreateResponse.fromRequest(request);
    const uid = request.getAffectedSopInstanceUid();
    const attributes = request.getDataset() ? request.getDataset().getElements() : {};
    let status = Status.Success;
    if (!uid)
      status = Status.MissingAttribute;
    else if (steps.has(uid))
      status = Status.DuplicateSOPInstance;
    else if (attributes.PerformedProcedureStepStatus !== 'IN PROGRESS')
      status = Status.InvalidAttributeValue;
    else
      steps.set(uid, { ...attributes }); // the step changes later, the message as it came does not
    response.setStatus(status);
    messages.push({ type: 'N-CREATE', calling: this.calling, uid, status, attributes });
    save();
    callback(response);
  }

  nSetRequest(request, callback) {
    const response = NSetResponse.fromRequest(request);
    const uid = request.getRequestedSopInstanceUid();
    const attributes = request.getDataset() ? request.getDataset().getElements() : {};
    const step = steps.get(uid);
    let status = Status.Success;
    if (!step) {
      status = Status.NoSuchObjectInstance;
    } else if (step.PerformedProcedureStepStatus !== 'IN PROGRESS') {
      status = Status.ProcessingFailure;
      response.setErrorComment('Performed Procedure Step Object may no longer be updated');
    } else {
      Object.assign(step, attributes);
    }
    response.setStatus(status);
    messages.push({ type: 'N-SET', calling: this.calling, uid, status, attributes });
    save();
    callback(response);
  }
}

const server = net.createServer((socket) => {
  const scp = new MppsScp(socket, {});
  scp.connected = true;
});
server.on('error', (e) => {
  console.error(`mpps-scp: ${e.message}`);
  process.exit(2);
});
server.listen(port, '127.0.0.1', () => {
  save();
  console.log(`mpps-scp: ${aet} listening on 127.0.0.1:${port}`);
});
for (const signal of ['SIGTERM', 'SIGINT'])
  process.on(signal, () => {
    server.close();
    process.exit(0);
  });
