<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>ChangeLogViewer</name>
    <message>
        <source>Changelog</source>
        <translation>Journal des modifications</translation>
    </message>
    <message>
        <source>Loading...</source>
        <translation>Chargement...</translation>
    </message>
    <message>
        <source>Failed to load changelog.</source>
        <translation>Impossible de charger le journal des modifications.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Quorvel 3 Client Update</source>
        <translation>Mise à jour du client Quorvel 3</translation>
    </message>
    <message>
        <source>Quorvel web site</source>
        <translation>Site web de Quorvel</translation>
    </message>
    <message>
        <source>News</source>
        <translation>Actualités</translation>
    </message>
    <message>
        <source>Banner</source>
        <translation>Bannière</translation>
    </message>
    <message>
        <source>Update log</source>
        <translation>Journal de mise à jour</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Détails</translation>
    </message>
    <message>
        <source>View Changes</source>
        <translation>Voir les modifications</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Lancer la mise à jour</translation>
    </message>
    <message>
        <source>Quorvel 3 updater &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</source>
        <translation>Mise à jour de Quorvel 3 &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Stable</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Bêta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Update to Quorvel %1</source>
        <translation>Mise à jour vers Quorvel %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Vous êtes actuellement sur le &lt;strong&gt;canal %1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Question</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Mise à jour en cours.&lt;/p&gt;&lt;p&gt;Voulez-vous vraiment l’interrompre&#xa0;?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>%1 KB / %2 KB</source>
        <translation>%1 Ko / %2 Ko</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 Ko/s</translation>
    </message>
    <message>
        <source>Start Quorvel</source>
        <translation>Lancer Quorvel</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Mise à jour annulée</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Mise à jour</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Mise à jour annulée. Cliquez sur «&#xa0;Détails&#xa0;» pour en connaître les raisons.</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Cliquer pour ouvrir «&#xa0;%1://%2&#xa0;»</translation>
    </message>
    <message>
        <source>Update progress</source>
        <translation>Progression de la mise à jour</translation>
    </message>
    <message>
        <source>Download speed</source>
        <translation>Vitesse de téléchargement</translation>
    </message>
    <message>
        <source>Downloaded</source>
        <translation>Téléchargé</translation>
    </message>
    <message>
        <source>Shows or hides the update log</source>
        <translation>Affiche ou masque le journal de la mise à jour</translation>
    </message>
    <message>
        <source>Shows what the new version changes</source>
        <translation>Montre ce que change la nouvelle version</translation>
    </message>
    <message>
        <source>Installed: %1</source>
        <translation>Installée : %1</translation>
    </message>
    <message>
        <source>Update starts in %1 s</source>
        <translation>La mise à jour commence dans %1 s</translation>
    </message>
    <message>
        <source>Retry Update</source>
        <translation>Réessayer la mise à jour</translation>
    </message>
    <message>
        <source>Stopped at %p%</source>
        <translation>Arrêtée à %p%</translation>
    </message>
</context>
<context>
    <name>Mirrors</name>
    <message>
        <source>There are no (more) known working mirrors available</source>
        <translation>Aucun miroir fonctionnel connu n’est (plus) disponible</translation>
    </message>
    <message>
        <source>Mirror %1 failed too many times, removing</source>
        <translation>Le miroir %1 a échoué trop de fois, il est retiré</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Numéro de version non valide (%1)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Erreur</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Impossible d’obtenir la dernière version
du client auprès du serveur de mise à jour.</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Le serveur de mise à jour a renvoyé un numéro de version non valide (%1)</translation>
    </message>
    <message>
        <source>An update is already running.</source>
        <translation>Une mise à jour est déjà en cours.</translation>
    </message>
</context>
</TS>
