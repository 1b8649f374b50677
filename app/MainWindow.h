#pragma once

#include "AttachmentRepository.h"
#include "ContentBlockRepository.h"
#include "DataItemRepository.h"
#include "DataItemService.h"
#include "Database.h"

#include <QMainWindow>

// The program's one window and the hub between storage and every panel.
class MainWindow : public QMainWindow {
public:
    explicit MainWindow(QWidget *parent = nullptr);

    // True when the database opened and the workspace was built.
    bool isWorkspaceReady() const { return m_workspaceReady; }
    const Database &database() const { return m_database; }

private:
    void buildUi();

    // Storage, constructed in this order on the one connection.
    Database m_database;
    DataItemRepository m_items;
    AttachmentRepository m_attachments;
    ContentBlockRepository m_blocks;
    DataItemService m_service;

    bool m_workspaceReady = false;
};
