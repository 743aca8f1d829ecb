#ifndef APSCONTROLLER_H
#define APSCONTROLLER_H

#include "apsdataconfirm.h"
#include "apsdataindication.h"
#include "apsdatarequest.h"
#include "nodeevent.h"

#include <QObject>
#include <QString>

namespace Halvik {

// The host's gateway to the network, one per process.
//
// A host subclasses it, overrides apsdeDataRequest() and stringParameter(), constructs one
// object (which instance() then returns until that object is destroyed) before it loads any
// plug-in, and delivers what happens on the network by emitting the three signals on it.
// Signals may be emitted from any thread: the constructor registers the record types, so
// queued connections carry them.
//
// Plug-ins connect with the normalised signatures, e.g.
//     connect(ApsController::instance(), SIGNAL(nodeEvent(Halvik::NodeEvent)),
//             this, SLOT(nodeEvent(Halvik::NodeEvent)));
class ApsController : public QObject
{
    Q_OBJECT

public:
    enum StringParameter
    {
        WebAppDirectory = 1
    };

    explicit ApsController(QObject *parent = nullptr);
    ~ApsController() override;

    // The controller constructed last and not yet destroyed, or null.
    static ApsController *instance();

    // 0 when the request was accepted, in which case a confirm with the request's id
    // follows; anything else refuses it and the caller may retry. This base refuses all.
    virtual int apsdeDataRequest(const ApsDataRequest &req);

    // The host's setting of the given number (see StringParameter); this base has none
    // and returns an empty string.
    virtual QString stringParameter(int parameter);

signals:
    // The parameter types are spelt out in full so that string-based connections match.
    void nodeEvent(const Halvik::NodeEvent &event);
    void apsdeDataIndication(const Halvik::ApsDataIndication &ind);
    void apsdeDataConfirm(const Halvik::ApsDataConfirm &conf);
};

} // namespace Halvik

#endif // APSCONTROLLER_H
