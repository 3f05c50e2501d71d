// qvconnectionfactory.cpp - where connections are made and unmade.
#include "qvconnectionfactory.h"

#include "qvconnection.h"

QvConnection* QvConnectionFactory::Create() { return new QvConnection; }

void QvConnectionFactory::Destroy(QvConnection* connection) { delete connection; }
