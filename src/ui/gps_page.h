#pragma once

// The GPS page "GPS": source kind, port and baud, track file, time factor, the auto-track
// options the GPS endpoints read, Start and Stop, and the status line. Bound to gps::GpsPage,
// which does the work; this page only moves values between the widgets and the core.

#include <QWidget>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QToolButton;

namespace tivra::gps {
class GpsPage;
}

namespace tivra::ui {

// The open-file dialog's filter "NMEA Files(*.nmea)|*.nmea|ozi Files(*.plt)|*.plt|All
// Files(*.*)|*.*||" in Qt's form, with GPX tracks.
inline constexpr const char* kTrackFileFilter =
    "NMEA Files(*.nmea);;ozi Files(*.plt);;GPX Files(*.gpx);;All Files(*.*)";

// Asks for a track file; nullopt when cancelled. Tests answer in place of the dialog.
using TrackFileChooser = std::function<std::optional<std::filesystem::path>()>;

class GpsPage final : public QWidget {
 public:
  // ports: the serial devices listed after "<自动>" in the port box.
  GpsPage(gps::GpsPage& core, const std::vector<std::string>& ports, QWidget* parent = nullptr);
  ~GpsPage() override;

  void setTrackFileChooser(TrackFileChooser chooser) { m_chooseFile = std::move(chooser); }
  // The file "记录轨迹" records into; ".gpx" is added to a name without it.
  void setRecordFileChooser(TrackFileChooser chooser) { m_chooseRecord = std::move(chooser); }

  QRadioButton* comRadio() const { return m_com; }
  QRadioButton* demoRadio() const { return m_demo; }
  QRadioButton* fileRadio() const { return m_file; }
  QComboBox* portBox() const { return m_port; }
  QComboBox* baudBox() const { return m_baud; }
  QLineEdit* fileEdit() const { return m_fileEdit; }
  QToolButton* browseButton() const { return m_browse; }
  QLabel* timeLabel() const { return m_timeLabel; }
  QDoubleSpinBox* timeBox() const { return m_timeBox; }
  QCheckBox* autoTrackCheck() const { return m_autoTrack; }
  QCheckBox* headingCheck() const { return m_heading; }
  QCheckBox* heightCheck() const { return m_height; }
  QCheckBox* angleCheck() const { return m_angle; }
  QPushButton* startButton() const { return m_start; }
  QPushButton* stopButton() const { return m_stop; }
  QLabel* statusLabel() const { return m_status; }
  QCheckBox* recordCheck() const { return m_record; }

 protected:
  void mousePressEvent(QMouseEvent* event) override;

 private:
  // The dialog data: controls into the core's settings, and back.
  void readControls();
  void writeControls();
  void enableByKind();
  void browse();
  void start();
  void toggleRecording();

  gps::GpsPage& m_core;
  TrackFileChooser m_chooseFile;
  TrackFileChooser m_chooseRecord;
  QButtonGroup* m_kinds;
  QRadioButton* m_com;
  QRadioButton* m_demo;
  QRadioButton* m_file;
  QComboBox* m_port;
  QComboBox* m_baud;
  QLineEdit* m_fileEdit;
  QToolButton* m_browse;
  QLabel* m_timeLabel;
  QDoubleSpinBox* m_timeBox;
  QCheckBox* m_autoTrack;
  QCheckBox* m_heading;
  QCheckBox* m_height;
  QCheckBox* m_angle;
  QPushButton* m_start;
  QPushButton* m_stop;
  QLabel* m_status;
  QCheckBox* m_record;
};

}  // namespace tivra::ui
