#ifndef APSDATACONFIRM_H
#define APSDATACONFIRM_H

#include <QMetaType>
#include <QtGlobal>

#include <memory>

namespace Halvik {

class ApsDataConfirmPrivate;

// The host's answer to an accepted ApsDataRequest: the request's id and a status,
// 0 meaning the frame was sent successfully.
class ApsDataConfirm
{
public:
    ApsDataConfirm();
    ApsDataConfirm(const ApsDataConfirm &other);
    ApsDataConfirm &operator=(const ApsDataConfirm &other);
    ~ApsDataConfirm();

    void swap(ApsDataConfirm &other) noexcept { d.swap(other.d); }

    quint8 id() const;
    void setId(quint8 id);

    quint8 status() const;
    void setStatus(quint8 status);

private:
    std::unique_ptr<ApsDataConfirmPrivate> d;
};

} // namespace Halvik

Q_DECLARE_METATYPE(Halvik::ApsDataConfirm)

#endif // APSDATACONFIRM_H
