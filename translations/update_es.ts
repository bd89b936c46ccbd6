<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES">
<context>
    <name>ChangeLogViewer</name>
    <message>
        <source>Changelog</source>
        <translation>Registro de cambios</translation>
    </message>
    <message>
        <source>Loading...</source>
        <translation>Cargando...</translation>
    </message>
    <message>
        <source>Failed to load changelog.</source>
        <translation>No se pudo cargar el registro de cambios.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Quorvel 3 Client Update</source>
        <translation>Actualización del cliente Quorvel 3</translation>
    </message>
    <message>
        <source>Quorvel web site</source>
        <translation>Sitio web de Quorvel</translation>
    </message>
    <message>
        <source>News</source>
        <translation>Noticias</translation>
    </message>
    <message>
        <source>Banner</source>
        <translation>Banner</translation>
    </message>
    <message>
        <source>Update log</source>
        <translation>Registro de actualización</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Detalles</translation>
    </message>
    <message>
        <source>View Changes</source>
        <translation>Ver cambios</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Iniciar actualización</translation>
    </message>
    <message>
        <source>Quorvel 3 updater &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</source>
        <translation>Actualizador de Quorvel 3 &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Estable</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alfa</translation>
    </message>
    <message>
        <source>Update to Quorvel %1</source>
        <translation>Actualizar a Quorvel %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Actualmente está en el &lt;strong&gt;canal %1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Pregunta</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Hay una actualización en curso.&lt;/p&gt;&lt;p&gt;¿Seguro que quiere cancelarla?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>%1 KB / %2 KB</source>
        <translation>%1 KB / %2 KB</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 KB/s</translation>
    </message>
    <message>
        <source>Start Quorvel</source>
        <translation>Iniciar Quorvel</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Actualización cancelada</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Actualización</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Actualización cancelada. Pulse «Detalles» para ver los motivos.</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Haga clic para abrir «%1://%2»</translation>
    </message>
    <message>
        <source>Update progress</source>
        <translation>Progreso de la actualización</translation>
    </message>
    <message>
        <source>Download speed</source>
        <translation>Velocidad de descarga</translation>
    </message>
    <message>
        <source>Downloaded</source>
        <translation>Descargado</translation>
    </message>
    <message>
        <source>Shows or hides the update log</source>
        <translation>Muestra u oculta el registro de la actualización</translation>
    </message>
    <message>
        <source>Shows what the new version changes</source>
        <translation>Muestra qué cambia la nueva versión</translation>
    </message>
    <message>
        <source>Installed: %1</source>
        <translation>Instalada: %1</translation>
    </message>
    <message>
        <source>Update starts in %1 s</source>
        <translation>La actualización empieza en %1 s</translation>
    </message>
    <message>
        <source>Retry Update</source>
        <translation>Reintentar actualización</translation>
    </message>
    <message>
        <source>Stopped at %p%</source>
        <translation>Detenida en %p%</translation>
    </message>
</context>
<context>
    <name>Mirrors</name>
    <message>
        <source>There are no (more) known working mirrors available</source>
        <translation>No hay (más) servidores espejo conocidos que funcionen</translation>
    </message>
    <message>
        <source>Mirror %1 failed too many times, removing</source>
        <translation>El servidor espejo %1 ha fallado demasiadas veces; se descarta</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Número de versión no válido (%1)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>No se pudo consultar la última versión
del cliente en el servidor de actualizaciones.</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>El servidor de actualizaciones devolvió un número de versión no válido (%1)</translation>
    </message>
    <message>
        <source>An update is already running.</source>
        <translation>Ya hay una actualización en curso.</translation>
    </message>
</context>
</TS>
