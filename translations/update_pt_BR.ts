<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pt_BR">
<context>
    <name>ChangeLogViewer</name>
    <message>
        <source>Changelog</source>
        <translation>Registro de alterações</translation>
    </message>
    <message>
        <source>Loading...</source>
        <translation>Carregando...</translation>
    </message>
    <message>
        <source>Failed to load changelog.</source>
        <translation>Falha ao carregar o registro de alterações.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Quorvel 3 Client Update</source>
        <translation>Atualização do cliente Quorvel 3</translation>
    </message>
    <message>
        <source>Quorvel web site</source>
        <translation>Site do Quorvel</translation>
    </message>
    <message>
        <source>News</source>
        <translation>Notícias</translation>
    </message>
    <message>
        <source>Banner</source>
        <translation>Banner</translation>
    </message>
    <message>
        <source>Update log</source>
        <translation>Registro da atualização</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Detalhes</translation>
    </message>
    <message>
        <source>View Changes</source>
        <translation>Ver alterações</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Iniciar atualização</translation>
    </message>
    <message>
        <source>Quorvel 3 updater &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</source>
        <translation>Atualizador do Quorvel 3 &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Estável</translation>
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
        <translation>Atualizar para o Quorvel %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Você está no &lt;strong&gt;canal %1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Pergunta</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Atualização em andamento.&lt;/p&gt;&lt;p&gt;Tem certeza de que deseja cancelar?&lt;/p&gt;</translation>
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
        <translation>Iniciar o Quorvel</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Atualização cancelada</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Atualização</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Atualização cancelada. Clique em “Detalhes” para ver os motivos.</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Clique para abrir “%1://%2”</translation>
    </message>
    <message>
        <source>Update progress</source>
        <translation>Progresso da atualização</translation>
    </message>
    <message>
        <source>Download speed</source>
        <translation>Velocidade de download</translation>
    </message>
    <message>
        <source>Downloaded</source>
        <translation>Baixado</translation>
    </message>
    <message>
        <source>Shows or hides the update log</source>
        <translation>Mostra ou oculta o registro da atualização</translation>
    </message>
    <message>
        <source>Shows what the new version changes</source>
        <translation>Mostra o que muda na nova versão</translation>
    </message>
    <message>
        <source>Installed: %1</source>
        <translation>Instalada: %1</translation>
    </message>
    <message>
        <source>Update starts in %1 s</source>
        <translation>A atualização começa em %1 s</translation>
    </message>
    <message>
        <source>Retry Update</source>
        <translation>Tentar atualizar novamente</translation>
    </message>
    <message>
        <source>Stopped at %p%</source>
        <translation>Parada em %p%</translation>
    </message>
</context>
<context>
    <name>Mirrors</name>
    <message>
        <source>There are no (more) known working mirrors available</source>
        <translation>Não há (mais) espelhos funcionais conhecidos disponíveis</translation>
    </message>
    <message>
        <source>Mirror %1 failed too many times, removing</source>
        <translation>O espelho %1 falhou vezes demais e será removido</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Número de versão inválido (%1)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Erro</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Falha ao consultar a versão mais recente
do cliente no servidor de atualização.</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>O servidor de atualização retornou um número de versão inválido (%1)</translation>
    </message>
    <message>
        <source>An update is already running.</source>
        <translation>Já existe uma atualização em andamento.</translation>
    </message>
</context>
</TS>
