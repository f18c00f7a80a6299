// Linux services are added here one file per service.
